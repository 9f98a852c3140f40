// The request table and the byte array of LinkBuffer.
#include <gtest/gtest.h>

#include <vector>

#include "transact/link_buffer.h"

namespace zeva {
namespace {

TEST(RequestTableTest, TenPushesThenFullThenRoomAgain) {
  LinkBuffer b;
  b.set_idCounter(100);
  std::vector<uint32_t> ids;
  for (int i = 0; i < 10; ++i) ids.push_back(b.PushRequest(RQ_REPLY, static_cast<uint8_t>(i), 0, nullptr, nullptr));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(ids[static_cast<size_t>(i)], 101u + static_cast<uint32_t>(i));
  EXPECT_TRUE(b.lastPushOk());
  EXPECT_EQ(b.PushRequest(RQ_REPLY, 1, 0, nullptr, nullptr), 0u);
  EXPECT_FALSE(b.lastPushOk());
  EXPECT_EQ(b.count(), 10);
  EXPECT_EQ(b.NewestRequest()->id, 110u);
  b.RemoveRequest(ids[3]);
  EXPECT_NE(b.PushRequest(RQ_REPLY, 1, 0, nullptr, nullptr), 0u);
  EXPECT_TRUE(b.lastPushOk());
}

TEST(RequestTableTest, IdCounterSkipsZeroOnWrap) {
  LinkBuffer b;
  b.set_idCounter(0xFFFFFFFFu);
  EXPECT_EQ(b.PushRequest(RQ_ACK, 5, 0, nullptr, nullptr), 1u);
}

TEST(RequestTableTest, RemovalKeepsPushOrder) {
  LinkBuffer b;
  const uint32_t a = b.PushRequest(RQ_IDENTIFY, 0, 0, nullptr, nullptr);
  const uint32_t bb = b.PushRequest(RQ_REPLY, 5, 7, nullptr, nullptr);
  const uint32_t c = b.PushRequest(RQ_REMOTE_ERROR, 6, 0, nullptr, nullptr);
  b.RemoveRequest(bb);
  EXPECT_EQ(b.count(), 2);
  EXPECT_EQ(b.slot(0).id, a);
  EXPECT_EQ(b.slot(1).id, c);
  EXPECT_EQ(b.NewestRequest()->id, c);
  EXPECT_EQ(b.FindRequest(bb), nullptr);
  EXPECT_TRUE(b.slot(0).anyPeer);
  EXPECT_FALSE(b.slot(1).anyPeer);
  b.RemoveRequest(12345);
  EXPECT_EQ(b.count(), 2);
}

TEST(RequestTableTest, SnapshotOfEmptyTableKeepsOtherFields) {
  LinkBuffer b;
  PendingRequest snap;
  snap.kind = RQ_REPLY;
  snap.tag = 9;
  snap.peer = 42;
  EXPECT_FALSE(b.SnapshotNewestRequest(&snap));
  EXPECT_EQ(snap.kind, 0);
  EXPECT_EQ(snap.tag, 0);
  EXPECT_EQ(snap.peer, 42);
  uint8_t header[8];
  b.PushRequest(RQ_IDENTIFY, 3, 0, header, nullptr);
  EXPECT_TRUE(b.SnapshotNewestRequest(&snap));
  EXPECT_EQ(snap.kind, RQ_IDENTIFY);
  EXPECT_EQ(snap.headerOut, header);
}

TEST(ByteArrayTest, AppendConsumeAndDropKeepOrder) {
  LinkBuffer b;
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  b.AppendBytes(bytes, 5);
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
  b.AppendBytes(bytes, 1);
  EXPECT_EQ(b.length(), 1);
  b.DropBack(5);
  EXPECT_EQ(b.data(), nullptr);
}

TEST(ByteArrayTest, LongBacklogDrainedFrameByFrameKeepsContents) {
  LinkBuffer b;
  std::vector<uint8_t> stream(100'000);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 7);
  b.AppendBytes(stream.data(), static_cast<int32_t>(stream.size()));
  size_t consumed = 0;
  while (b.length() > 0) {
    ASSERT_EQ(b.data()[0], stream[consumed]);
    b.ConsumeFront(11);
    consumed += 11;
    if (consumed % 5500 == 0) b.AppendBytes(nullptr, 0);
  }
  EXPECT_GE(consumed, stream.size());
}

}  // namespace
}  // namespace zeva
