// The request table.
#include <gtest/gtest.h>

#include <vector>

#include "transact/request_table.h"

namespace zeva {
namespace {

TEST(RequestTableTest, TenPushesThenFullThenRoomAgain) {
  RequestTable b;
  b.set_idCounter(100);
  std::vector<uint32_t> ids;
  for (int i = 0; i < 10; ++i) ids.push_back(b.Push(RQ_REPLY, static_cast<uint8_t>(i), 0, nullptr, nullptr));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(ids[static_cast<size_t>(i)], 101u + static_cast<uint32_t>(i));
  EXPECT_TRUE(b.lastPushOk());
  EXPECT_EQ(b.Push(RQ_REPLY, 1, 0, nullptr, nullptr), 0u);
  EXPECT_FALSE(b.lastPushOk());
  EXPECT_EQ(b.count(), 10);
  EXPECT_EQ(b.Newest()->id, 110u);
  b.Remove(ids[3]);
  EXPECT_NE(b.Push(RQ_REPLY, 1, 0, nullptr, nullptr), 0u);
  EXPECT_TRUE(b.lastPushOk());
}

TEST(RequestTableTest, IdCounterSkipsZeroOnWrap) {
  RequestTable b;
  b.set_idCounter(0xFFFFFFFFu);
  EXPECT_EQ(b.Push(RQ_IDENTIFY, 5, 0, nullptr, nullptr), 1u);
}

TEST(RequestTableTest, RemovalKeepsPushOrder) {
  RequestTable b;
  const uint32_t a = b.Push(RQ_IDENTIFY, 0, 0, nullptr, nullptr);
  const uint32_t bb = b.Push(RQ_REPLY, 5, 7, nullptr, nullptr);
  const uint32_t c = b.Push(RQ_REMOTE_ERROR, 6, 0, nullptr, nullptr);
  b.Remove(bb);
  EXPECT_EQ(b.count(), 2);
  EXPECT_EQ(b.slot(0).id, a);
  EXPECT_EQ(b.slot(1).id, c);
  EXPECT_EQ(b.Newest()->id, c);
  EXPECT_EQ(b.Find(bb), nullptr);
  EXPECT_TRUE(b.slot(0).anyPeer);
  EXPECT_FALSE(b.slot(1).anyPeer);
  b.Remove(12345);
  EXPECT_EQ(b.count(), 2);
}

TEST(RequestTableTest, SnapshotOfEmptyTableKeepsOtherFields) {
  RequestTable b;
  PendingRequest snap;
  snap.kind = RQ_REPLY;
  snap.tag = 9;
  snap.peer = 42;
  EXPECT_FALSE(b.SnapshotNewest(&snap));
  EXPECT_EQ(snap.kind, 0);
  EXPECT_EQ(snap.tag, 0);
  EXPECT_EQ(snap.peer, 42);
  uint8_t header[8];
  b.Push(RQ_IDENTIFY, 3, 0, header, nullptr);
  EXPECT_TRUE(b.SnapshotNewest(&snap));
  EXPECT_EQ(snap.kind, RQ_IDENTIFY);
  EXPECT_EQ(snap.headerOut, header);
}

TEST(StatusFlagsTest, ReplyFlagsByKindAndEmptyMask) {
  StatusFlags flags;
  EXPECT_TRUE(flags.AllSet(0));
  const struct {
    int32_t kind;
    uint32_t flag;
  } cases[] = {{0, 0},
               {1, 0},
               {RQ_IDENTIFY, SF_IDENTIFY_REPLY},
               {RQ_REMOTE_ERROR, SF_ERROR_REPLY},
               {RQ_REPLY, SF_QUERY_REPLY},
               {5, 0},
               {6, 0},
               {-1, 0}};
  for (const auto& c : cases) {
    flags.Reset();
    flags.Set(ReplyFlagOf(c.kind));
    EXPECT_EQ(flags.word, c.flag) << c.kind;
  }
  flags.word = SF_TX_ACTIVE;
  EXPECT_FALSE(flags.AllSet(SF_TX_ACTIVE | SF_ECHO_PENDING)) << "the busy test needs both bits";
}

}  // namespace
}  // namespace zeva
