// The receive loop and the dispatcher over the simulated bus: what reaches
// the client, what is acknowledged on the wire, and which pending requests
// a frame completes.
#include <gtest/gtest.h>

#include "core/config.h"
#include "link/frame.h"
#include "transact_stack.h"
#include "transact/request_table.h"
#include "runtime/port.h"

namespace zeva::transact_test {
namespace {

constexpr uint8_t kStation = 1;
constexpr size_t kDevice5 = 0;  // device indexes on the bus
constexpr size_t kDevice6 = 1;
constexpr unsigned kRemoveRequest = 0x8001;

const Bytes kPayload = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

// Two devices, 5 and 6, and the station at 1.
struct Bus56 : Stack {
  explicit Bus56(const sim::BusConfig& config = {}) : Stack(config) {
    AddDevice(5, 0x000005);
    AddDevice(6, 0x000006);
  }

  Bytes Frame(uint8_t from, uint8_t to, uint8_t control, const Bytes& payload = kPayload) const {
    return DataFrameBytes(bus.config().protocol, to, from, control, payload);
  }
  // Bytes from a device in one burst, 1 ms from now; then 20 ms pass.
  void Arrive(size_t device, const Bytes& bytes) {
    bus.SendFromDevice(device, NowUs() + 1000, bytes);
    RunMs(20);
  }
  std::vector<Bytes> AcksWritten() const {
    std::vector<Bytes> acks;
    for (const Bytes& b : HostBytes()) {
      if (b.size() != link::kDataFrameSize) acks.push_back(b);
    }
    return acks;
  }
};

// --- frames arriving together ------------------------------------------------

TEST(ReceiveLoop, TwoBroadcastFramesInOneReadAreBothDispatched) {
  Bus56 s;
  s.Arrive(kDevice5, Concat({s.Frame(5, 0, 0xC4), s.Frame(5, 0, 0xC2)}));
  ASSERT_EQ(s.data.size(), 2u);
  EXPECT_EQ(s.data[0].eventCode, 5);
  EXPECT_EQ(s.data[1].eventCode, 7);
  EXPECT_EQ(ReceiveAccumulator(s.ctx)->length(), 0);
  EXPECT_EQ(s.ctx.transact.receiveLoop, ReceiveLoop::kIdle);
}

TEST(ReceiveLoop, ThirdFrameOfOneReadWaitsForTheNextDataEvent) {
  Bus56 s;
  s.Arrive(kDevice5, Concat({s.Frame(5, 0, 0xC4), s.Frame(5, 0, 0xC2), s.Frame(5, 0, 0xC3)}));
  ASSERT_EQ(s.data.size(), 2u);
  EXPECT_EQ(ReceiveAccumulator(s.ctx)->length(), link::kDataFrameSize);
  s.Arrive(kDevice5, {0x00});
  ASSERT_EQ(s.data.size(), 3u);
  EXPECT_EQ(s.data[2].eventCode, 6);
}

// The first frame's acknowledgement is written while the second waits in
// the accumulator; the run of the loop nested in that write's wait
// dispatches the second, so the client sees it first.
TEST(ReceiveLoop, FramesToTheStationArrivingTogetherAreAllAcknowledged) {
  Bus56 s;
  s.Arrive(kDevice5, Concat({s.Frame(5, kStation, 0xC4), s.Frame(5, kStation, 0xC2)}));
  ASSERT_EQ(s.data.size(), 2u);
  EXPECT_EQ(s.data[0].eventCode, 7);
  EXPECT_EQ(s.data[1].eventCode, 5);
  EXPECT_EQ(s.AcksWritten(), std::vector<Bytes>(2, AckBytes(2, 5, kStation)));
  EXPECT_EQ(ReceiveAccumulator(s.ctx)->length(), 0);
  EXPECT_FALSE(s.ctx.runtime.echo->Awaited());
}

TEST(ReceiveLoop, ShortFramesNeverReachTheClient) {
  Bus56 s;
  config::SetSpy(s.ctx, 1);
  const link::ShortFrame ack = link::EncodeAck(2, kStation, 5);
  const link::ShortFrame type7 = link::EncodeShortFrame(2, kStation, 5, 0x67);  // code 3: no reset
  const link::ShortFrame type6 = link::EncodeShortFrame(2, kStation, 5, 0x7E);
  s.Arrive(kDevice5, Concat({{0x00, 0x33}, Bytes(ack.bytes.begin(), ack.bytes.begin() + ack.size),
                             {0x42}, Bytes(type7.bytes.begin(), type7.bytes.begin() + type7.size),
                             Bytes(type6.bytes.begin(), type6.bytes.begin() + type6.size)}));
  s.Arrive(kDevice5, {0x00});
  EXPECT_TRUE(s.data.empty());
  EXPECT_TRUE(s.HostBytes().empty());
}

TEST(ReceiveLoop, TracesFramesInAndAcknowledgementsOut) {
  Bus56 s;
  std::vector<std::pair<int, Bytes>> trace;
  s.ctx.runtime.trace = [&trace](int direction, const uint8_t* bytes, int32_t n) {
    trace.emplace_back(direction, Bytes(bytes, bytes + n));
  };
  const Bytes frame = s.Frame(5, kStation, 0xC3);
  s.Arrive(kDevice5, Concat({{0x00, 0x01}, frame}));
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(trace[0], std::make_pair(1, frame));
  EXPECT_EQ(trace[1], std::make_pair(0, AckBytes(2, 5, kStation)));
}

// --- acknowledgement and address filter ----------------------------------------

struct AckCase {
  const char* name;
  uint8_t destination;
  uint8_t control;
  int32_t adapterId;
  int32_t noAck;
  int32_t spy;
  bool acknowledged;
  bool delivered;
};

class Acknowledgement : public ::testing::TestWithParam<AckCase> {};

TEST_P(Acknowledgement, FollowsTheRules) {
  const AckCase& c = GetParam();
  Bus56 s;
  config::SetAdapterID(s.ctx, c.adapterId);
  config::SetNoAck(s.ctx, c.noAck);
  config::SetSpy(s.ctx, c.spy);
  s.Arrive(kDevice5, s.Frame(5, c.destination, c.control));
  EXPECT_EQ(s.AcksWritten(), c.acknowledged ? std::vector<Bytes>{AckBytes(2, 5, kStation)} : std::vector<Bytes>{});
  ASSERT_EQ(s.data.size(), c.delivered ? 1u : 0u);
  if (c.delivered) {
    EXPECT_EQ(s.data[0].destination, c.destination);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Dispatcher, Acknowledgement,
    ::testing::Values(AckCase{"ToStation", kStation, 0xC1, 0, 0, 0, true, true},
                      AckCase{"AlternationBitAloneIsAcknowledged", kStation, 0xC9, 0, 0, 0, true, true},
                      AckCase{"NoAckWantedBits", kStation, 0xD9, 0, 0, 0, false, true},
                      AckCase{"Broadcast", 0, 0xC2, 0, 0, 0, false, true},
                      AckCase{"OtherStationDropped", 9, 0xC1, 0, 0, 0, false, false},
                      AckCase{"OtherStationSpied", 9, 0xC1, 0, 0, 1, false, true},
                      AckCase{"AdapterAcknowledges", kStation, 0xC1, 1, 0, 0, false, true},
                      AckCase{"NoAckSwitch", kStation, 0xC1, 0, 1, 0, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- event codes ------------------------------------------------------------------

struct EventCase {
  uint8_t control;
  int32_t eventCode;
};

class EventCodes : public ::testing::TestWithParam<EventCase> {};

TEST_P(EventCodes, ByMessageType) {
  Bus56 s;
  config::SetAutoEcho(s.ctx, 0);
  s.Arrive(kDevice5, s.Frame(5, kStation, GetParam().control));
  ASSERT_EQ(s.data.size(), 1u);
  const DataEvent& e = s.data[0];
  EXPECT_EQ(e.eventCode, GetParam().eventCode);
  EXPECT_EQ(e.source, 5);
  EXPECT_EQ(e.destination, kStation);
  EXPECT_EQ(e.count, 6);
  EXPECT_EQ(e.type, 0x66);
  EXPECT_EQ(e.data, kPayload);
}

INSTANTIATE_TEST_SUITE_P(Dispatcher, EventCodes,
                         ::testing::Values(EventCase{0xC0, 4}, EventCase{0xC1, 2}, EventCase{0xCA, 1},
                                           EventCase{0xC2, 7}, EventCase{0xC3, 6}, EventCase{0xC4, 5},
                                           EventCase{0xC5, 0}));

TEST(Dispatcher, ShortCountReachesTheClientWithItsDataArea) {
  Bus56 s;
  s.Arrive(kDevice5, s.Frame(5, kStation, 0x41));
  ASSERT_EQ(s.data.size(), 1u);
  EXPECT_EQ(s.data[0].count, 2);
  EXPECT_EQ(s.data[0].type, 0);
  EXPECT_EQ(s.data[0].data, (Bytes{0x11, 0x22, 0x33, 0, 0, 0}));
}

// --- automatic reply -----------------------------------------------------------------

struct AutoReplyCase {
  const char* name;
  uint8_t destination;
  bool lineEcho;    // the adapter returns the host's bytes
  bool echoCheck;
  bool echoSent;
  uint8_t source = 5;
};

class AutoReply : public ::testing::TestWithParam<AutoReplyCase> {};

// The echo reply goes out only when a run of the receive loop nested in the
// acknowledgement's wait has cleared the loop's mark; otherwise the
// transmitter answers busy. Either way the frame goes no further.
TEST_P(AutoReply, AnswersTypeZeroWhenTheLoopMarkIsCleared) {
  const AutoReplyCase& c = GetParam();
  sim::BusConfig config;
  config.echo = c.lineEcho;
  Bus56 s(config);
  config::SetEchoCheck(s.ctx, c.echoCheck ? 1 : 0);
  s.Arrive(kDevice5, s.Frame(c.source, c.destination, 0x80));  // type 0, count 4
  const bool own = c.source == kStation;
  std::vector<Bytes> expected;
  if (c.destination != 0 && !own) expected.push_back(AckBytes(2, 5, kStation));
  if (c.echoSent) expected.push_back(s.Frame(kStation, 5, 0x9A, {0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(s.HostBytes(), expected);
  // A frame of the station's own goes to the client as it came.
  EXPECT_EQ(s.data.size(), own ? 1u : 0u);
  EXPECT_EQ(s.ctx.transact.receiveLoop, ReceiveLoop::kIdle);
}

INSTANTIATE_TEST_SUITE_P(Dispatcher, AutoReply,
                         ::testing::Values(AutoReplyCase{"EchoCheckOn", kStation, true, true, true},
                                           AutoReplyCase{"EchoCheckOff", kStation, true, false, true},
                                           AutoReplyCase{"NothingReadDuringTheAck", kStation, false, false, false},
                                           AutoReplyCase{"BroadcastIsNotAcknowledged", 0, true, true, false},
                                           // Fault: the station answered its own frame (line-made from its
                                           // damaged echo) and read the answer's echo back as a frame.
                                           AutoReplyCase{"OwnFrameIsNotAnswered", kStation, true, true, false, kStation}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- request completion -----------------------------------------------------------------

struct Areas {
  uint8_t header[8] = {};
  uint8_t data[6] = {};
};

struct CompletionCase {
  const char* name;
  std::vector<std::pair<int32_t, uint8_t>> requests;  // kind, peer; pushed in order
  size_t from;
  int completed;  // index of the completed request, -1 none
  uint32_t flag;
};

class Completion : public ::testing::TestWithParam<CompletionCase> {};

TEST_P(Completion, OnlyTheNewestRequestIsConsidered) {
  const CompletionCase& c = GetParam();
  Bus56 s;
  std::vector<Areas> areas(c.requests.size());
  for (size_t i = 0; i < c.requests.size(); ++i) {
    s.ctx.transact.requests->Push(c.requests[i].first, c.requests[i].second, 0, areas[i].header, areas[i].data);
  }
  const uint8_t from = c.from == kDevice5 ? 5 : 6;
  const Bytes frame = s.Frame(from, kStation, 0xC1);
  s.Arrive(c.from, frame);
  EXPECT_EQ(s.AcksWritten().size(), 1u);  // acknowledged in every case
  for (size_t i = 0; i < c.requests.size(); ++i) {
    const bool completed = static_cast<int>(i) == c.completed;
    EXPECT_EQ(s.ctx.transact.requests->slot(static_cast<int32_t>(i)).done, completed ? 1 : 0) << i;
    if (!completed) continue;
    EXPECT_EQ(Bytes(areas[i].data, areas[i].data + 6), kPayload);
    EXPECT_EQ(areas[i].header[0], from);        // source
    EXPECT_EQ(areas[i].header[1], kStation);    // destination
    EXPECT_EQ(areas[i].header[2], 0x01);        // typeAndFlags
    EXPECT_EQ(areas[i].header[4], frame[10]);   // received checksum
    EXPECT_EQ(areas[i].header[5], frame[10]);   // computed checksum
    EXPECT_EQ(areas[i].header[6], 6);           // count
  }
  EXPECT_EQ(s.ctx.core.flags.word & (SF_IDENTIFY_REPLY | SF_ERROR_REPLY | SF_QUERY_REPLY | SF_ACK_RECEIVED),
            c.flag);
  EXPECT_EQ(s.data.size(), c.completed < 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Dispatcher, Completion,
    ::testing::Values(
        CompletionCase{"ReplyFromPeer", {{RQ_REPLY, 5}}, kDevice5, 0, SF_QUERY_REPLY},
        CompletionCase{"ReplyFromOtherPeer", {{RQ_REPLY, 5}}, kDevice6, -1, 0},
        CompletionCase{"AnyPeer", {{RQ_IDENTIFY, 0}}, kDevice6, 0, SF_IDENTIFY_REPLY},
        CompletionCase{"RemoteError", {{RQ_REMOTE_ERROR, 5}}, kDevice5, 0, SF_ERROR_REPLY},
        CompletionCase{"OlderRequestIsNotConsidered", {{RQ_REPLY, 5}, {RQ_REPLY, 6}}, kDevice5, -1, 0},
        CompletionCase{"NewestOfTwo", {{RQ_REPLY, 6}, {RQ_IDENTIFY, 5}}, kDevice5, 1, SF_IDENTIFY_REPLY}),
    [](const auto& info) { return std::string(info.param.name); });

// The station's own frame read back (an echo not recognised as one, like a
// bus map's probe of the station's own address) answers no request, not
// even one that takes any peer.
TEST(Dispatcher, OwnFrameCompletesNoRequest) {
  const std::pair<int32_t, uint8_t> kRequests[] = {{RQ_IDENTIFY, kStation}, {RQ_IDENTIFY, 0}, {RQ_REPLY, kStation}};
  for (const auto& [kind, peer] : kRequests) {
    SCOPED_TRACE(peer);
    Bus56 s;
    Areas areas;
    s.ctx.transact.requests->Push(kind, peer, 0, areas.header, areas.data);
    s.Arrive(kDevice5, s.Frame(kStation, kStation, 0xC1));
    EXPECT_EQ(s.ctx.transact.requests->slot(0).done, 0);
    EXPECT_EQ(s.ctx.core.flags.word & (SF_IDENTIFY_REPLY | SF_QUERY_REPLY), 0u);
  }
}

struct ResponseCodeCase {
  const char* name;
  uint8_t awaited;
  uint8_t code;  // data byte 5 of the reply
  bool matched;
};

class ResponseCode : public ::testing::TestWithParam<ResponseCodeCase> {};

TEST_P(ResponseCode, MatchesTheAwaitedCodeOr242) {
  const ResponseCodeCase& c = GetParam();
  Bus56 s;
  Areas areas;
  s.ctx.transact.requests->Push(RQ_REPLY, 5, 0, areas.header, areas.data);
  s.ctx.core.flags.Set(SF_RESPONSE_WAIT);
  s.ctx.transact.awaitedResponseCode = c.awaited;
  s.Arrive(kDevice5, s.Frame(5, kStation, 0xC1, {0, 0, 0, 0, 0, c.code}));
  EXPECT_EQ(s.ctx.core.flags.AllSet(SF_RESPONSE_MATCHED), c.matched);
  EXPECT_EQ(s.ctx.core.flags.AllSet(SF_RESPONSE_WAIT), !c.matched);
  EXPECT_TRUE(s.ctx.core.flags.AllSet(SF_QUERY_REPLY));
}

INSTANTIATE_TEST_SUITE_P(Dispatcher, ResponseCode,
                         ::testing::Values(ResponseCodeCase{"DefaultIs242", 0, 242, true},
                                           ResponseCodeCase{"DefaultRefuses241", 0, 241, false},
                                           ResponseCodeCase{"Awaited", 0xF4, 0xF4, true},
                                           ResponseCodeCase{"AwaitedRefuses242", 0xF4, 242, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- a request removed between the snapshot and its lookup --------------------------------

struct VanishedCase {
  const char* name;
  std::vector<uint8_t> olderPeers;  // requests pushed before the one that vanishes
  int completed;                    // index among them, -1 none
};

class Vanished : public ::testing::TestWithParam<VanishedCase> {};

// Client code that runs while the acknowledgement is written removes the
// request the frame was matched with.
TEST_P(Vanished, ReportsCode13AndTriesTheNewestRequest) {
  const VanishedCase& c = GetParam();
  Bus56 s;
  std::vector<Areas> areas(c.olderPeers.size() + 1);
  for (size_t i = 0; i < c.olderPeers.size(); ++i) {
    s.ctx.transact.requests->Push(RQ_REPLY, c.olderPeers[i], 0, areas[i].header, areas[i].data);
  }
  const uint32_t doomed = s.ctx.transact.requests->Push(RQ_REPLY, 5, 0, areas.back().header, areas.back().data);
  s.ctx.runtime.trace = [&s](int direction, const uint8_t*, int32_t) {
    if (direction == 0) PostMessageA(s.window, kRemoveRequest, 0, 0);
  };
  s.onClientMessage = [&s, doomed](unsigned message, WPARAM, LPARAM) {
    if (message == kRemoveRequest) s.ctx.transact.requests->Remove(doomed);
  };
  s.Arrive(kDevice5, s.Frame(5, kStation, 0xC1));
  ASSERT_FALSE(s.errors.empty());
  EXPECT_EQ(s.errors[0].code, 13);
  EXPECT_EQ(s.errors[0].text, "TestData null");
  EXPECT_TRUE(s.fx.boxes.boxes().empty());
  for (size_t i = 0; i < c.olderPeers.size(); ++i) {
    EXPECT_EQ(s.ctx.transact.requests->slot(static_cast<int32_t>(i)).done, static_cast<int>(i) == c.completed ? 1 : 0);
  }
  EXPECT_EQ(s.data.size(), c.completed < 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Dispatcher, Vanished,
                         ::testing::Values(VanishedCase{"TableEmptyDelivers", {}, -1},
                                           VanishedCase{"OlderRequestOfThePeerCompleted", {5}, 0},
                                           VanishedCase{"OlderRequestOfAnotherPeerDelivers", {6}, -1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zeva::transact_test
