// TBuffer: a fixed block filled at the back and drained from the front.
#include "korvi/socket/send_buffer.h"

#include <algorithm>
#include <cstring>

namespace korvi {

namespace {
constexpr int kDefaultBlockSize = 1514;
}

TBuffer::TBuffer(int size) {
  SetBufSize(size);
}

void TBuffer::SetBufSize(int size) {
  if (size <= 0) size = kDefaultBlockSize;
  // A block never becomes smaller than the bytes written into it.
  size = std::max(size, write_pos_);
  if (size == size_ && data_) return;
  // Only written bytes are ever read: the room needs no clearing.
  auto block = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size));
  if (Unread() > 0) std::memcpy(block.get(), data_.get(), static_cast<size_t>(write_pos_));
  data_ = std::move(block);
  size_ = size;
}

int TBuffer::Write(const void* data, int len) {
  const int free = size_ - write_pos_;
  if (free < 1 || len < 1) return 0;
  const int n = std::min(free, len);
  std::memcpy(data_.get() + write_pos_, data, static_cast<size_t>(n));
  write_pos_ += n;
  return n;
}

int TBuffer::Read(void* data, int len) {
  const int available = Unread();
  if (available < 1 || len < 1) return 0;
  const int n = std::min(available, len);
  std::memcpy(data, data_.get() + read_pos_, static_cast<size_t>(n));
  read_pos_ += n;
  Drained();
  return n;
}

const char* TBuffer::Peek(int& len) const {
  len = Unread();
  if (len < 1) {
    len = 0;
    return nullptr;
  }
  return data_.get() + read_pos_;
}

int TBuffer::Remove(int len) {
  const int n = std::clamp(len, 0, Unread());
  read_pos_ += n;
  Drained();
  return n;
}

void TBuffer::Drained() {
  if (read_pos_ == write_pos_) read_pos_ = write_pos_ = 0;
}

}  // namespace korvi
