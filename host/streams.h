/// \file
/// Byte streams: the abstract TStream and its memory, string and file forms.
/// Failures raise EStreamError (EFOpenError when a file cannot be opened).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "korvi/host/object.h"

namespace korvi {

/// Where Seek counts from: the beginning, the position or the end.
enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

/// The abstract byte stream.
class TStream : public TObject {
 public:
  /// Reads up to `count` bytes; returns the number read (0 at the end).
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  /// Writes up to `count` bytes; returns the number written.
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  /// Moves the position; returns the new position.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
  /// Changes the size; raises EStreamError when the stream cannot.
  virtual void SetSize(std::int64_t size) = 0;

  /// The current position.
  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  /// Moves to `position` from the beginning.
  void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
  /// The size; the position stays where it is.
  virtual std::int64_t Size();
  ///@{
  /// Read/Write that raise EStreamError ("Stream read error" / "Stream write
  /// error") unless exactly `count` bytes move.
  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);
  ///@}
  /// Copies `count` bytes from `source`'s position; count 0 copies the whole
  /// of `source` from its beginning. Returns the number of bytes copied.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

/// A stream over a growable byte buffer (std::vector<char> or std::string).
/// Positions may lie beyond the end; a write there fills the gap with zeros.
template <typename Buffer>
class TBufferStream : public TStream {
 public:
  /// Reads from the buffer at the position.
  std::int64_t Read(void* buffer, std::int64_t count) override;
  /// Writes into the buffer at the position, growing it as needed.
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  /// Moves the position within or beyond the buffer.
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  /// Resizes the buffer.
  void SetSize(std::int64_t size) override;

 protected:
  TBufferStream() = default;
  /// A stream holding `data`, positioned at its beginning.
  explicit TBufferStream(Buffer data) : data_(std::move(data)) {}
  /// The bytes of the stream.
  Buffer data_;
  /// The current position.
  std::int64_t position_ = 0;
};

extern template class TBufferStream<std::vector<char>>;
extern template class TBufferStream<std::string>;

/// A growable block of memory.
class TMemoryStream : public TBufferStream<std::vector<char>> {
 public:
  ///@{
  /// The stream's bytes (Size() of them).
  char* Memory() { return data_.data(); }
  const char* Memory() const { return data_.data(); }
  ///@}
  /// Empties the stream.
  void Clear();
  /// Replaces the bytes by the contents of the file `path`.
  void LoadFromFile(const std::string& path);
  /// Writes the bytes to the file `path`.
  void SaveToFile(const std::string& path);
};

/// A stream over a byte string.
class TStringStream : public TBufferStream<std::string> {
 public:
  /// A stream holding `data`, positioned at its beginning.
  explicit TStringStream(std::string data = {}) : TBufferStream(std::move(data)) {}
  /// Reads up to `count` bytes from the position as a string.
  std::string ReadString(std::int64_t count);
  /// Writes the bytes of `text` at the position.
  void WriteString(const std::string& text);
  /// All bytes of the stream.
  const std::string& DataString() const { return data_; }
};

/// Open modes of TFileStream.
enum TFileMode : unsigned {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareDenyWrite = 0x0020,  ///< others may read but not write while it is open
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFF00,  ///< create or truncate, open for reading and writing
};

/// A stream over a file. fmShareDenyWrite takes a shared advisory lock, so
/// writers that take the exclusive lock (fmOpenWrite, fmOpenReadWrite, fmCreate)
/// are refused while readers hold the file.
class TFileStream : public TStream {
 public:
  /// Raises EFOpenError "Cannot open file \"<path>\". <reason>" on failure.
  TFileStream(const std::string& path, unsigned mode);
  ~TFileStream() override;
  std::int64_t Read(void* buffer, std::int64_t count) override;
  /// Reads up to `count` bytes from `offset` without moving the position;
  /// fewer at the file's end. Raises EStreamError "Stream read error".
  std::int64_t ReadAt(void* buffer, std::int64_t count, std::int64_t offset);
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t size) override;
  /// A regular file's size comes from one status query.
  std::int64_t Size() override;
  /// The file's path.
  const std::string& FileName() const { return path_; }
  /// The open file's descriptor (owned by the stream).
  int Handle() const { return fd_; }
  /// The size the file had once it was open (0 after fmCreate emptied it).
  std::int64_t OpenedSize() const { return opened_size_; }
  /// The file's last write time, in seconds since 1970, when it was opened.
  std::int64_t OpenedWriteTime() const { return opened_write_time_; }

 protected:
  /// Takes over the open descriptor `fd` of the file named `path`.
  TFileStream(int fd, std::string path) : path_(std::move(path)), fd_(fd) {}

 private:
  std::string path_;
  int fd_ = -1;
  std::int64_t opened_size_ = 0;
  std::int64_t opened_write_time_ = 0;
};

/// A read-write stream over a temporary file without a name, in `directory`
/// (empty: the system's temporary directory, $TMPDIR or else /tmp). Where the
/// file system allows it the file never has a name (O_TMPFILE); elsewhere it
/// loses it at once. Either way nothing is left behind, however the process
/// ends. FileName is the directory. Raises EFOpenError when no file can be
/// made there.
class TTempFileStream : public TFileStream {
 public:
  /// Creates the file in `directory`.
  explicit TTempFileStream(const std::string& directory);
};

/// A read-only view of the bytes [start, end) of `source`, which it shares.
/// Its position is its own: each read places the source first. Write and
/// SetSize raise EStreamError.
class TRangeStream : public TStream {
 public:
  /// The view of bytes [start, end) of `source`.
  TRangeStream(std::shared_ptr<TStream> source, std::int64_t start, std::int64_t end);
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t size) override;
  std::int64_t Size() override { return end_ - start_; }

 private:
  std::shared_ptr<TStream> source_;
  std::int64_t start_;
  std::int64_t end_;
  std::int64_t position_ = 0;
};

}  // namespace korvi
