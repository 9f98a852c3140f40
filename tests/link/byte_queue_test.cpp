// The receive accumulator's byte queue.
#include <gtest/gtest.h>

#include <vector>

#include "link/byte_queue.h"

namespace zeva::link {
namespace {

TEST(ByteQueueTest, AppendConsumeAndDropKeepOrder) {
  ByteQueue b;
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  b.Append(bytes, 5);
  b.ConsumeFront(2);
  ASSERT_EQ(b.length(), 3);
  EXPECT_EQ(b.data()[0], 3);
  b.DropBack(1);
  ASSERT_EQ(b.length(), 2);
  EXPECT_EQ(b.data()[1], 4);
  b.DropBack(0);
  EXPECT_EQ(b.length(), 2);
  b.ConsumeFront(2);
  EXPECT_EQ(b.length(), 0);
  EXPECT_EQ(b.data(), nullptr);
  b.ConsumeFront(1);
  b.Append(bytes, 1);
  EXPECT_EQ(b.length(), 1);
  b.DropBack(5);
  EXPECT_EQ(b.data(), nullptr);
}

TEST(ByteQueueTest, LongBacklogDrainedFrameByFrameKeepsContents) {
  ByteQueue b;
  std::vector<uint8_t> stream(100'000);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 7);
  b.Append(stream.data(), static_cast<int32_t>(stream.size()));
  size_t consumed = 0;
  while (b.length() > 0) {
    ASSERT_EQ(b.data()[0], stream[consumed]);
    b.ConsumeFront(11);
    consumed += 11;
    if (consumed % 5500 == 0) b.Append(nullptr, 0);
  }
  EXPECT_GE(consumed, stream.size());
}

}  // namespace
}  // namespace zeva::link
