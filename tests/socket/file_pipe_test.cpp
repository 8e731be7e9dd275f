// TFilePipe against a real loopback connection and a real file.
#include "korvi/socket/file_pipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "tests/socket/loopback_connection.h"
#include "tests/support/descriptor_limit.h"
#include "tests/support/temp_dir.h"

namespace korvi {
namespace {

// What the socket does not take goes with the pipe: the count says how far
// the file went, and offering the rest again from there delivers every byte
// once, in order, to a peer that reads late. Past the file's end nothing goes.
TEST(FilePipeTest, WhatTheSocketLeavesIsOfferedAgain) {
  std::string content(3'000'000, '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i % 251);
  test::TempDir dir;
  const TFileDescriptor file(::open(dir.Write("f.bin", content).c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(file.Valid());
  test::LoopbackConnection<> c;
  const int socket = c.socket.Handle();
  const int small = 65536;
  ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

  TFilePipe pipe;
  ASSERT_TRUE(pipe.Open());
  const ssize_t first = pipe.Send(socket, file.Get(), 0, content.size(), true);
  EXPECT_GT(first, 0);
  EXPECT_LT(first, static_cast<ssize_t>(TFilePipe::kSize));

  std::string received;
  std::thread reader([&] { c.peer.ReadBlocking(received, content.size(), 20000); });
  off_t offset = first > 0 ? first : 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (offset < static_cast<off_t>(content.size()) &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd writable{socket, POLLOUT, 0};
    ::poll(&writable, 1, 1000);
    ASSERT_TRUE(pipe.Open());
    const ssize_t sent = pipe.Send(socket, file.Get(), offset, content.size() - offset, false);
    if (sent < 0) {
      ASSERT_EQ(errno, EAGAIN);
    } else {
      offset += sent;
    }
  }
  reader.join();
  EXPECT_EQ(received.size(), content.size());
  EXPECT_TRUE(received == content);
  ASSERT_TRUE(pipe.Open());
  EXPECT_EQ(pipe.Send(socket, file.Get(), offset, 10, false), 0);
}

// A pipe the system will not make (here for want of descriptors) stays
// refused, so a caller asks once and sends another way.
TEST(FilePipeTest, RefusedPipeStaysRefused) {
  TFilePipe pipe;
  {
    const test::ScopedDescriptorLimit one_left(1);
    EXPECT_FALSE(pipe.Open());
  }
  EXPECT_FALSE(pipe.Open());
  TFilePipe another;
  EXPECT_TRUE(another.Open());
}

}  // namespace
}  // namespace korvi
