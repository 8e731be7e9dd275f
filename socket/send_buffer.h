/// \file
/// TBuffer: one block of the socket's send chain. Bytes are written at the
/// back and drained from the front; when everything written has been drained,
/// both positions return to 0 so the block can be filled again. It is not a
/// ring: space in front of the read position of a partly drained block is not
/// reused.
#pragma once

#include <memory>

#include "korvi/host/object.h"

namespace korvi {

/// One block of the send chain.
class TBuffer : public TObject {
 public:
  /// Creates an empty block of `size` bytes (1514 when `size` <= 0).
  explicit TBuffer(int size);

  /// Resizes the block (1514 when `size` <= 0), keeping the bytes written so
  /// far: a smaller size than they take is raised to fit them.
  void SetBufSize(int size);
  /// Appends up to `len` bytes; returns how many fitted (0 when the block is full).
  int Write(const void* data, int len);
  /// Moves up to `len` unread bytes out to `data`; returns how many.
  int Read(void* data, int len);
  /// The first unread byte and, in `len`, the unread count; nullptr and 0 when empty.
  const char* Peek(int& len) const;
  /// Drops up to `len` unread bytes from the front; returns how many.
  int Remove(int len);

  /// Capacity in bytes.
  int Size() const { return size_; }
  /// Bytes written and not yet read or removed.
  int Unread() const { return write_pos_ - read_pos_; }

 private:
  void Drained();
  std::unique_ptr<char[]> data_;
  int size_ = 0;
  int write_pos_ = 0;
  int read_pos_ = 0;
};

}  // namespace korvi
