// TempDir: a fresh directory under the system's temporary directory, removed
// with everything in it when the object goes away.
#pragma once

#include <string>

namespace korvi::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, without a trailing "/".
  const std::string& Path() const { return path_; }
  // Path() + "/" + `relative`.
  std::string File(const std::string& relative) const { return path_ + "/" + relative; }
  // Writes `content` to `relative` (creating parent directories); returns the full path.
  std::string Write(const std::string& relative, const std::string& content) const;
  // Creates the directory `relative` (and its parents); returns the full path.
  std::string MakeDir(const std::string& relative) const;

 private:
  std::string path_;
};

// The whole content of a file (empty when it cannot be read).
std::string ReadFile(const std::string& path);

}  // namespace korvi::test
