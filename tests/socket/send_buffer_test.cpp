// TBuffer: filled at the back, drained at the front, reset when emptied.
#include "korvi/socket/send_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace korvi {
namespace {

// A full block accepts nothing more; a partial read keeps the rest in order,
// and draining everything makes the whole block writable again.
TEST(SendBufferTest, FillsDrainsAndReusesTheBlock) {
  TBuffer block(8);
  EXPECT_EQ(block.Write("abcdefghij", 10), 8);
  EXPECT_EQ(block.Write("x", 1), 0);
  char out[8] = {};
  EXPECT_EQ(block.Read(out, 3), 3);
  EXPECT_EQ(std::string(out, 3), "abc");
  // Space in front of the read position is not reused.
  EXPECT_EQ(block.Write("x", 1), 0);
  int len = 0;
  const char* rest = block.Peek(len);
  ASSERT_EQ(len, 5);
  EXPECT_EQ(std::string(rest, 5), "defgh");
  EXPECT_EQ(block.Remove(100), 5);
  EXPECT_EQ(block.Peek(len), nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(block.Write("12345678", 8), 8);
  EXPECT_EQ(block.Read(out, 8), 8);
  EXPECT_EQ(std::string(out, 8), "12345678");
  EXPECT_EQ(block.Read(out, 8), 0);
  EXPECT_EQ(block.Remove(1), 0);
}

TEST(SendBufferTest, NonPositiveSizeMeansDefaultBlock) {
  EXPECT_EQ(TBuffer(0).Size(), 1514);
  EXPECT_EQ(TBuffer(-5).Size(), 1514);
}

// Resizing a block that holds unread bytes keeps them; a size too small for
// what was written is raised to fit it.
TEST(SendBufferTest, ResizeKeepsUnreadBytes) {
  TBuffer block(4);
  block.Write("abcd", 4);
  block.SetBufSize(10);
  EXPECT_EQ(block.Size(), 10);
  EXPECT_EQ(block.Write("efgh", 4), 4);
  char out[8] = {};
  EXPECT_EQ(block.Read(out, 2), 2);
  block.SetBufSize(3);
  EXPECT_EQ(block.Size(), 8);
  EXPECT_EQ(block.Write("x", 1), 0);
  EXPECT_EQ(block.Read(out, 8), 6);
  EXPECT_EQ(std::string(out, 6), "cdefgh");
}

}  // namespace
}  // namespace korvi
