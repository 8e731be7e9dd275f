// WriteToLogFile: appends to LOGFILE.TXT in the current directory, creating
// it, adding nothing, keeping concurrent texts whole and ignoring failures.
#include "korvi/session/log_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "korvi/host/files.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

// Makes `directory` the current directory while it lives.
class InDirectory {
 public:
  explicit InDirectory(const std::string& directory) : previous_(GetCurrentDir()) {
    EXPECT_EQ(::chdir(directory.c_str()), 0);
  }
  ~InDirectory() { EXPECT_EQ(::chdir(previous_.c_str()), 0); }

 private:
  std::string previous_;
};

TEST(LogFileTest, AppendsEachTextAsItIs) {
  test::TempDir dir;
  InDirectory here(dir.Path());
  WriteToLogFile("first\r\n");
  WriteToLogFile("second");
  WriteToLogFile("");
  WriteToLogFile(std::string("third\0part", 10));
  EXPECT_EQ(test::ReadFile(dir.File("LOGFILE.TXT")), std::string("first\r\nsecondthird\0part", 23));
}

// Several threads appending long texts at once: every text lands whole.
TEST(LogFileTest, ConcurrentTextsNeverInterleave) {
  test::TempDir dir;
  InDirectory here(dir.Path());
  constexpr int kThreads = 4, kTexts = 50, kLength = 8192;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      const std::string text(kLength - 1, static_cast<char>('a' + t));
      for (int i = 0; i < kTexts; ++i)
        WriteToLogFile(text + "\n");
    });
  }
  for (std::thread& writer : writers)
    writer.join();
  const std::string log = test::ReadFile(dir.File("LOGFILE.TXT"));
  ASSERT_EQ(log.size(), static_cast<std::size_t>(kThreads * kTexts * kLength));
  for (std::size_t at = 0; at < log.size(); at += kLength) {
    ASSERT_EQ(log.find_first_not_of(log[at], at), at + kLength - 1) << "text at " << at;
    ASSERT_EQ(log[at + kLength - 1], '\n');
  }
}

TEST(LogFileTest, FailuresAreIgnored) {
  test::TempDir dir;
  dir.MakeDir("LOGFILE.TXT");  // a directory cannot be opened for writing
  InDirectory here(dir.Path());
  WriteToLogFile("lost");
  EXPECT_TRUE(DirectoryExists(dir.File("LOGFILE.TXT")));
}

}  // namespace
}  // namespace korvi
