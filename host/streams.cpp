// Byte streams: the shared TStream operations, the memory and string streams
// (one implementation over a growable buffer) and the file stream with its
// advisory share locks.
#include "korvi/host/streams.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "korvi/host/exceptions.h"

namespace korvi {

static_assert(sizeof(off_t) == 8, "file positions must be 64-bit");

namespace {

[[noreturn]] void RaiseInvalidPosition() {
  throw EStreamError("Invalid stream position");
}

// The target of a seek from `origin`; raises on a negative result.
std::int64_t SeekTarget(std::int64_t offset, TSeekOrigin origin, std::int64_t position,
                        std::int64_t size) {
  std::int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) base = position;
  if (origin == TSeekOrigin::soEnd) base = size;
  std::int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) RaiseInvalidPosition();
  return target;
}

}  // namespace

std::int64_t TStream::Size() {
  const std::int64_t position = Seek(0, TSeekOrigin::soCurrent);
  const std::int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(position, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<char> block(count < 65536 ? (count > 0 ? count : 1) : 65536);
  for (std::int64_t left = count; left > 0;) {
    const std::int64_t n = left < static_cast<std::int64_t>(block.size())
                               ? left
                               : static_cast<std::int64_t>(block.size());
    source.ReadBuffer(block.data(), n);
    WriteBuffer(block.data(), n);
    left -= n;
  }
  return count > 0 ? count : 0;
}

// TBufferStream

template <typename Buffer>
std::int64_t TBufferStream<Buffer>::Read(void* buffer, std::int64_t count) {
  const std::int64_t size = static_cast<std::int64_t>(data_.size());
  if (count <= 0 || position_ >= size) return 0;
  const std::int64_t n = count < size - position_ ? count : size - position_;
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  return n;
}

template <typename Buffer>
std::int64_t TBufferStream<Buffer>::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  const std::int64_t end = position_ + count;
  const auto* bytes = static_cast<const char*>(buffer);
  if (position_ == static_cast<std::int64_t>(data_.size())) {
    data_.insert(data_.end(), bytes, bytes + count);  // at the end: no filling first
  } else {
    if (end > static_cast<std::int64_t>(data_.size())) data_.resize(end, '\0');
    std::memcpy(data_.data() + position_, buffer, count);
  }
  position_ = end;
  return count;
}

template <typename Buffer>
std::int64_t TBufferStream<Buffer>::Seek(std::int64_t offset, TSeekOrigin origin) {
  position_ = SeekTarget(offset, origin, position_, static_cast<std::int64_t>(data_.size()));
  return position_;
}

template <typename Buffer>
void TBufferStream<Buffer>::SetSize(std::int64_t size) {
  if (size < 0) throw EStreamError("Stream write error");
  data_.resize(size, '\0');
  if (position_ > size) position_ = size;
}

template class TBufferStream<std::vector<char>>;
template class TBufferStream<std::string>;

// TMemoryStream

void TMemoryStream::Clear() {
  std::vector<char>().swap(data_);
  position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& path) {
  TFileStream file(path, fmOpenRead | fmShareDenyWrite);
  Clear();
  CopyFrom(file, 0);
  position_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& path) {
  TFileStream file(path, fmCreate);
  file.WriteBuffer(data_.data(), static_cast<std::int64_t>(data_.size()));
}

// TStringStream

std::string TStringStream::ReadString(std::int64_t count) {
  std::string out(count > 0 ? count : 0, '\0');
  out.resize(Read(out.data(), count));
  return out;
}

void TStringStream::WriteString(const std::string& text) {
  Write(text.data(), static_cast<std::int64_t>(text.size()));
}

// TFileStream

namespace {

[[noreturn]] void RaiseOpenError(const std::string& path, const std::string& reason) {
  throw EFOpenError("Cannot open file \"" + path + "\". " + reason);
}

// The open(2) flags of a file mode; fmCreate truncates only after the lock
// is held, so it is not O_TRUNC here.
int OpenFlags(unsigned mode) {
  if ((mode & fmCreate) == fmCreate) return O_RDWR | O_CREAT;
  switch (mode & 3) {
    case fmOpenWrite:
      return O_WRONLY;
    case fmOpenReadWrite:
      return O_RDWR;
    default:
      return O_RDONLY;
  }
}

// The advisory lock a mode takes: writers exclude every other locker, readers
// that deny writing share the file with other such readers.
int LockOperation(unsigned mode) {
  if ((mode & 0xF0) == fmShareDenyNone) return 0;
  const bool writes = (mode & fmCreate) == fmCreate || (mode & 3) != fmOpenRead;
  if (writes) return LOCK_EX;
  return (mode & 0xF0) == fmShareDenyWrite ? LOCK_SH : 0;
}

}  // namespace

TFileStream::TFileStream(const std::string& path, unsigned mode) : path_(path) {
  fd_ = ::open(path.c_str(), OpenFlags(mode) | O_CLOEXEC, 0666);
  if (fd_ < 0) RaiseOpenError(path, std::strerror(errno));
  std::string failure;
  struct stat info {};
  const int lock = LockOperation(mode);
  if (::fstat(fd_, &info) != 0) {
    failure = std::strerror(errno);
  } else if (S_ISDIR(info.st_mode)) {
    failure = std::strerror(EISDIR);
  } else if (lock != 0 && ::flock(fd_, lock | LOCK_NB) != 0) {
    failure =
        errno == EWOULDBLOCK ? "The file is in use by another process." : std::strerror(errno);
  } else if ((mode & fmCreate) == fmCreate && ::ftruncate(fd_, 0) != 0) {
    failure = std::strerror(errno);
  }
  if (!failure.empty()) {
    ::close(fd_);
    fd_ = -1;
    RaiseOpenError(path, failure);
  }
  opened_size_ = (mode & fmCreate) == fmCreate ? 0 : info.st_size;
  opened_write_time_ = info.st_mtim.tv_sec;
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd_, static_cast<char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EStreamError("Stream read error");
    if (n == 0) break;
    done += n;
  }
  return done;
}

std::int64_t TFileStream::ReadAt(void* buffer, std::int64_t count, std::int64_t offset) {
  std::int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd_, static_cast<char*>(buffer) + done, count - done, offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EStreamError("Stream read error");
    if (n == 0) break;
    done += n;
  }
  return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EStreamError("Stream write error");
    done += n;
  }
  return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  const int whence = origin == TSeekOrigin::soBeginning
                         ? SEEK_SET
                         : (origin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END);
  const off_t position = ::lseek(fd_, offset, whence);
  if (position < 0) RaiseInvalidPosition();
  return position;
}

std::int64_t TFileStream::Size() {
  // A regular file's size is in its status; anything else (a pipe, a
  // device) is measured by seeking, as in any stream.
  struct stat info {};
  if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) return info.st_size;
  return TStream::Size();
}

void TFileStream::SetSize(std::int64_t size) {
  if (size < 0 || ::ftruncate(fd_, size) != 0) throw EStreamError("Stream write error");
  if (Position() > size) SetPosition(size);
}

// TTempFileStream

namespace {

std::string TempDirectory(const std::string& directory) {
  if (!directory.empty()) return directory;
  const char* system = std::getenv("TMPDIR");
  return system != nullptr && *system != '\0' ? system : "/tmp";
}

// A descriptor of a new, empty file in `directory` that has no name.
int OpenUnnamedFile(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  // File systems without unnamed files refuse the flag in one of these ways.
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string name = directory + "/korvi-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
  }
  if (fd < 0) RaiseOpenError(directory, std::strerror(errno));
  return fd;
}

}  // namespace

TTempFileStream::TTempFileStream(const std::string& directory)
    : TFileStream(OpenUnnamedFile(TempDirectory(directory)), TempDirectory(directory)) {}

// TRangeStream

TRangeStream::TRangeStream(std::shared_ptr<TStream> source, std::int64_t start, std::int64_t end)
    : source_(std::move(source)), start_(start), end_(std::max(start, end)) {}

std::int64_t TRangeStream::Read(void* buffer, std::int64_t count) {
  count = std::min(count, Size() - position_);
  if (count <= 0) return 0;
  source_->SetPosition(start_ + position_);
  const std::int64_t read = source_->Read(buffer, count);
  position_ += read;
  return read;
}

std::int64_t TRangeStream::Write(const void* /*buffer*/, std::int64_t /*count*/) {
  throw EStreamError("Stream write error");
}

std::int64_t TRangeStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  position_ = SeekTarget(offset, origin, position_, Size());
  return position_;
}

void TRangeStream::SetSize(std::int64_t /*size*/) {
  throw EStreamError("Stream write error");
}

}  // namespace korvi
