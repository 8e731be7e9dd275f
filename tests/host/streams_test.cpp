// Streams: memory and string streams, exact reads and writes, copying, and
// file streams with their open modes, share locks and 64-bit positions.
#include "korvi/host/streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "korvi/host/exceptions.h"
#include "tests/support/expect_message.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

std::string Contents(TMemoryStream& stream) {
  return std::string(stream.Memory(), static_cast<std::size_t>(stream.Size()));
}

TEST(MemoryStream, ReadWriteSeekAndSize) {
  TMemoryStream stream;
  EXPECT_EQ(stream.Write("hello", 5), 5);
  EXPECT_EQ(stream.Position(), 5);
  stream.SetPosition(1);
  char buffer[8] = {};
  EXPECT_EQ(stream.Read(buffer, 8), 4);
  EXPECT_STREQ(buffer, "ello");
  EXPECT_EQ(stream.Read(buffer, 8), 0);
  EXPECT_EQ(stream.Seek(-2, TSeekOrigin::soEnd), 3);
  EXPECT_EQ(stream.Seek(1, TSeekOrigin::soCurrent), 4);
  stream.Write("O!", 2);
  EXPECT_EQ(Contents(stream), "hellO!");
  EXPECT_THROW(stream.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
  EXPECT_EQ(stream.Position(), 6);
}

// Positions past the end read nothing; writing there grows the stream and
// fills the gap with zeros. Shrinking pulls the position back.
TEST(MemoryStream, PositionPastTheEndAndSetSize) {
  TMemoryStream stream;
  stream.Write("ab", 2);
  stream.SetPosition(5);
  char c = 'x';
  EXPECT_EQ(stream.Read(&c, 1), 0);
  EXPECT_EQ(stream.Size(), 2);
  stream.Write("z", 1);
  EXPECT_EQ(Contents(stream), std::string("ab\0\0\0z", 6));
  stream.SetSize(8);
  EXPECT_EQ(Contents(stream), std::string("ab\0\0\0z\0\0", 8));
  stream.SetSize(1);
  EXPECT_EQ(stream.Position(), 1);
  EXPECT_EQ(Contents(stream), "a");
  EXPECT_THROW(stream.SetSize(-1), EStreamError);
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(stream.Position(), 0);
}

TEST(Streams, ReadBufferAndWriteBufferDemandEveryByte) {
  TStringStream stream("abc");
  char buffer[4] = {};
  stream.ReadBuffer(buffer, 2);
  EXPECT_STREQ(buffer, "ab");
  test::ExpectThrowMessage<EStreamError>([&] { stream.ReadBuffer(buffer, 2); },
                                         "Stream read error");
  stream.ReadBuffer(buffer, 0);
}

TEST(StringStream, WritesOverwriteAndExtendWithoutCuttingTheRest) {
  TStringStream stream("0123456789");
  stream.SetPosition(2);
  stream.WriteString("ab");
  EXPECT_EQ(stream.DataString(), "01ab456789");
  EXPECT_EQ(stream.ReadString(3), "456");
  stream.Seek(0, TSeekOrigin::soEnd);
  stream.WriteString("!");
  EXPECT_EQ(stream.DataString(), "01ab456789!");
  stream.SetPosition(9);
  EXPECT_EQ(stream.ReadString(100), "9!");
  EXPECT_EQ(stream.ReadString(-1), "");
}

TEST(Streams, CopyFromCountOrWholeSource) {
  TStringStream source("abcdefgh");
  source.SetPosition(6);
  TMemoryStream target;
  // Count 0 rewinds the source and copies all of it.
  EXPECT_EQ(target.CopyFrom(source, 0), 8);
  EXPECT_EQ(Contents(target), "abcdefgh");
  source.SetPosition(2);
  EXPECT_EQ(target.CopyFrom(source, 3), 3);
  EXPECT_EQ(Contents(target), "abcdefghcde");
  EXPECT_THROW(target.CopyFrom(source, 10), EStreamError);

  std::string big(200000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>(i * 7);
  TStringStream large(big);
  TStringStream copy;
  EXPECT_EQ(copy.CopyFrom(large, 0), 200000);
  EXPECT_EQ(copy.DataString(), big);
}

TEST(FileStream, CreateWriteReopenAndRead) {
  test::TempDir dir;
  const std::string path = dir.File("data.bin");
  {
    TFileStream file(path, fmCreate);
    file.WriteBuffer("first version", 13);
  }
  {
    TFileStream file(path, fmCreate);
    file.WriteBuffer("new", 3);
  }
  EXPECT_EQ(test::ReadFile(path), "new");
  {
    TFileStream file(path, fmOpenReadWrite);
    file.Seek(0, TSeekOrigin::soEnd);
    file.WriteBuffer("er", 2);
    file.SetPosition(0);
    char buffer[6] = {};
    EXPECT_EQ(file.Read(buffer, 10), 5);
    EXPECT_STREQ(buffer, "newer");
    file.SetSize(2);
    EXPECT_EQ(file.Position(), 2);
    EXPECT_EQ(file.Size(), 2);
  }
  TFileStream reader(path, fmOpenRead);
  char c;
  EXPECT_THROW(reader.WriteBuffer("x", 1), EStreamError);
  reader.ReadBuffer(&c, 1);
  EXPECT_EQ(c, 'n');
  EXPECT_EQ(reader.FileName(), path);

  TMemoryStream memory;
  memory.LoadFromFile(path);
  EXPECT_EQ(Contents(memory), "ne");
  EXPECT_EQ(memory.Position(), 0);
  memory.SaveToFile(dir.File("copy.bin"));
  EXPECT_EQ(test::ReadFile(dir.File("copy.bin")), "ne");
}

TEST(FileStream, OpenFailuresRaiseEFOpenError) {
  test::TempDir dir;
  const std::string missing = dir.File("missing");
  test::ExpectThrowMessage<EFOpenError>(
      [&] { TFileStream file(missing, fmOpenRead); },
      "Cannot open file \"" + missing + "\". No such file or directory");
  EXPECT_THROW(TFileStream(dir.Path(), fmOpenRead), EFOpenError);
  EXPECT_THROW(TFileStream(dir.File("no/such/dir"), fmCreate), EFOpenError);
}

// Readers that deny writing share the file; a writer is refused while they
// hold it and may open it once they are gone. Creating a file that is held
// must not truncate it.
TEST(FileStream, ShareDenyWriteLocksOutWriters) {
  test::TempDir dir;
  const std::string path = dir.Write("shared.txt", "content");
  {
    TFileStream first(path, fmOpenRead | fmShareDenyWrite);
    TFileStream second(path, fmOpenRead | fmShareDenyWrite);
    EXPECT_THROW(TFileStream(path, fmOpenWrite), EFOpenError);
    EXPECT_THROW(TFileStream(path, fmOpenReadWrite), EFOpenError);
    EXPECT_THROW(TFileStream(path, fmCreate), EFOpenError);
    EXPECT_EQ(test::ReadFile(path), "content");
    TFileStream ignoring(path, fmOpenRead | fmShareDenyNone);
    TFileStream plain(path, fmOpenRead);
  }
  {
    TFileStream writer(path, fmOpenReadWrite);
    EXPECT_THROW(TFileStream(path, fmOpenRead | fmShareDenyWrite), EFOpenError);
  }
  TFileStream again(path, fmOpenRead | fmShareDenyWrite);
}

// The size and last write time the file had once it was open stay as they
// were while the file changes; creating empties the file first.
TEST(FileStream, OpenedSizeAndWriteTime) {
  test::TempDir dir;
  const timespec written[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
  const struct {
    unsigned mode;
    std::int64_t size;
  } cases[] = {{fmOpenRead | fmShareDenyWrite, 7}, {fmOpenReadWrite, 7}, {fmCreate, 0}};
  for (const auto& c : cases) {
    const std::string path = dir.Write("opened.txt", "content");
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), written, 0), 0);
    TFileStream file(path, c.mode);
    dir.Write("opened.txt", "longer content");
    EXPECT_EQ(file.OpenedSize(), c.size) << c.mode;
    EXPECT_EQ(file.OpenedWriteTime(), 1'000'000'000) << c.mode;
  }
}

// ReadAt reads where it is told, fewer bytes at the end, and leaves the
// stream's position alone.
TEST(FileStream, ReadAtLeavesThePosition) {
  test::TempDir dir;
  TFileStream file(dir.Write("at.txt", "0123456789"), fmOpenRead);
  file.SetPosition(2);
  char bytes[8] = {};
  EXPECT_EQ(file.ReadAt(bytes, 4, 5), 4);
  EXPECT_EQ(std::string(bytes, 4), "5678");
  EXPECT_EQ(file.ReadAt(bytes, 8, 7), 3);
  EXPECT_EQ(std::string(bytes, 3), "789");
  EXPECT_EQ(file.ReadAt(bytes, 8, 10), 0);
  EXPECT_EQ(file.Position(), 2);
}

// Positions beyond 2 GiB work through 64-bit offsets (the file is sparse).
TEST(FileStream, LargeOffsets) {
  test::TempDir dir;
  const std::int64_t far = (std::int64_t{1} << 31) + 4096;
  TFileStream file(dir.File("large.bin"), fmCreate);
  file.SetSize(far + 10);
  EXPECT_EQ(file.Size(), far + 10);
  EXPECT_EQ(file.Seek(far, TSeekOrigin::soBeginning), far);
  file.WriteBuffer("edge", 4);
  EXPECT_EQ(file.Position(), far + 4);
  file.Seek(-10, TSeekOrigin::soEnd);
  char buffer[5] = {};
  file.ReadBuffer(buffer, 4);
  EXPECT_STREQ(buffer, "edge");
}

// A temporary file has no name in its directory from the start and reads
// back what was written.
TEST(TempFileStream, LeavesNothingInItsDirectory) {
  test::TempDir dir;
  TTempFileStream file(dir.Path());
  file.WriteBuffer("spooled", 7);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
  char back[7];
  file.SetPosition(0);
  file.ReadBuffer(back, 7);
  EXPECT_EQ(std::string(back, 7), "spooled");
  EXPECT_THROW(TTempFileStream(dir.Path() + "/missing"), EFOpenError);
}

// A range view reads only its own bytes, at its own position, and refuses
// to write.
TEST(RangeStream, ReadsItsRangeOnly) {
  auto source = std::make_shared<TStringStream>("0123456789");
  TRangeStream range(source, 3, 7);
  EXPECT_EQ(range.Size(), 4);
  source->SetPosition(9);
  char bytes[8] = {};
  EXPECT_EQ(range.Read(bytes, 8), 4);
  EXPECT_EQ(std::string(bytes, 4), "3456");
  EXPECT_EQ(range.Read(bytes, 8), 0);
  range.SetPosition(2);
  EXPECT_EQ(range.Read(bytes, 1), 1);
  EXPECT_EQ(bytes[0], '5');
  EXPECT_THROW(range.Write("x", 1), EStreamError);
  EXPECT_THROW(range.SetSize(1), EStreamError);
}

}  // namespace
}  // namespace korvi
