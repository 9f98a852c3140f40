// The remote error report and the query over the simulated bus.
#include <gtest/gtest.h>

#include <functional>

#include "core/config.h"
#include "service_rig.h"
#include "services/query.h"
#include "services/remote_error.h"
#include "transact/data_interface.h"
#include "transact/request_table.h"

namespace zeva::services_test {
namespace {

using sim::Command;

std::string Numbers(int stack, int rel, int offset, int sp, int code) {
  char text[256];
  std::snprintf(text, sizeof text,
                "program stack index:  %d\r\nrel. instr. ptr:      %d\r\noffset instr. ptr:    %d\r\n"
                "stack ptr:            %d\r\nerror code:           %d\r\n",
                stack, rel, offset, sp, code);
  return text;
}

struct ReportCase {
  const char* name;
  sim::Bytes6 record;
  std::string expected;
};

class Reports : public ::testing::TestWithParam<ReportCase> {};

TEST_P(Reports, LineUpTheNumbersAndAppendTheDescription) {
  const ReportCase& c = GetParam();
  char text[services::kRemoteErrorTextSize];
  services::FormatRemoteErrorReport(c.record.data(), text);
  EXPECT_EQ(std::string(text), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    RemoteError, Reports,
    ::testing::Values(
        // The offset's high part counts sixteens: 5 + 2 x 16.
        ReportCase{"ReprogramError", {3, 17, 5, 2, 40, 8}, Numbers(3, 17, 37, 40, 8) + "\r\nReprogram error"},
        ReportCase{"CodeWithoutDescription", {0, 0, 0, 0, 0, 12}, Numbers(0, 0, 0, 0, 12)},
        ReportCase{"Code22SharesCode3sText", {1, 2, 3, 4, 5, 22}, Numbers(1, 2, 67, 5, 22) + "\r\nSubscript out of range"},
        ReportCase{"NoErrors", {0, 0, 0, 0, 0, 0}, Numbers(0, 0, 0, 0, 0) + "\r\nNo errors"},
        ReportCase{"Largest", {255, 255, 255, 255, 255, 255},
                   Numbers(255, 255, 4335, 255, 255) + "\r\nVirgin device, MISSING SERIAL CODE!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RemoteErrorTable, DescribesNineteenCodes) {
  int described = 0;
  for (int code = 0; code <= 255; ++code) {
    if (services::RemoteErrorDescription(static_cast<uint8_t>(code)) != nullptr) ++described;
  }
  EXPECT_EQ(described, 19);
  EXPECT_STREQ(services::RemoteErrorDescription(240), "STOPPED");
  EXPECT_EQ(services::RemoteErrorDescription(12), nullptr);
}

TEST(GetRemoteError, HandsTheReportToTheClient) {
  Rig rig;
  sim::Device& device = rig.AddDevice(5);
  device.set_remote_error({3, 17, 5, 2, 40, 8});
  EXPECT_EQ(GetRemoteError(rig.ctx, 5), 1);
  ASSERT_EQ(rig.remoteErrors.size(), 1u);
  EXPECT_EQ(rig.remoteErrors[0].address, 5);
  EXPECT_EQ(rig.remoteErrors[0].code, 8);
  EXPECT_EQ(rig.remoteErrors[0].report, Numbers(3, 17, 37, 40, 8) + "\r\nReprogram error");
  const std::vector<Bytes> sent = rig.HostRequests(5);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(DataOf(sent[0]), (Bytes{0, 0, 0, 0, 0, 5}));
}

TEST(GetRemoteError, AddressZeroReportsTheAddressAsPassed) {
  Rig rig;
  rig.AddDevice(9).set_remote_error({0, 0, 0, 0, 0, 12});
  EXPECT_EQ(GetRemoteError(rig.ctx, 0), 1);
  ASSERT_EQ(rig.remoteErrors.size(), 1u);
  EXPECT_EQ(rig.remoteErrors[0].address, 0);
  EXPECT_EQ(rig.remoteErrors[0].report, Numbers(0, 0, 0, 0, 12));
}

TEST(GetRemoteError, AnswersFromAnotherStationAreIgnored) {
  Rig rig;
  sim::Device& device = rig.AddDevice(5);
  device.faults.wrongSourceReplies = -1;
  device.faults.wrongSource = 7;
  EXPECT_EQ(GetRemoteError(rig.ctx, 5), 0);
  EXPECT_EQ(CommandsOf(device, Command::kRemoteError).size(), 4u);
  rig.RunMs(1);
  EXPECT_TRUE(rig.remoteErrors.empty());
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
  EXPECT_TRUE(rig.errors.empty());
}

TEST(GetRemoteError, ClosedPortIsZeroWithoutReport) {
  Rig rig({}, false);
  EXPECT_EQ(GetRemoteError(rig.ctx, 5), 0);
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
}

TEST(Query, SendsTheCallersBytesAndDeliversTheAnswer) {
  Rig rig;
  rig.AddDevice(5);
  const uint8_t data[6] = {1, 2, 3, 4, 5, 0x33};
  EXPECT_EQ(Query(rig.ctx, 5, data, 0, 0x1234ABCD), 1);
  ASSERT_EQ(rig.replies.size(), 1u);
  EXPECT_EQ(rig.replies[0].address, 5);
  EXPECT_EQ(rig.replies[0].reply, (Bytes{0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0x33}));
  EXPECT_EQ(rig.replies[0].tag, 0x1234ABCD);
}

// Without data of its own, Query sends the message the client composed with
// the output-buffer setters, byte 4 cleared and byte 5 the type.
struct ComposedQuery {
  const char* name;
  std::function<void(DriverContext&)> compose;
  Bytes wire;  // the request's six data bytes
};

class ComposedQueries : public ::testing::TestWithParam<ComposedQuery> {};

TEST_P(ComposedQueries, SendTheOutputBuffer) {
  const ComposedQuery& c = GetParam();
  Rig rig;
  rig.AddDevice(5);
  c.compose(rig.ctx);
  EXPECT_EQ(Query(rig.ctx, 5, nullptr, 0, 7), 1);
  ASSERT_EQ(rig.HostDataFrames().size(), 1u);
  EXPECT_EQ(DataOf(rig.HostDataFrames()[0]), c.wire);
  ASSERT_EQ(rig.replies.size(), 1u);
  EXPECT_EQ(rig.replies[0].tag, 7);
}

INSTANTIATE_TEST_SUITE_P(
    Query, ComposedQueries,
    ::testing::Values(
        ComposedQuery{"Byte4Cleared",
                      [](DriverContext& ctx) {
                        const Bytes buffer = {0x10, 0x20, 0x30, 0x40, 0x77, 0x42};
                        std::copy(buffer.begin(), buffer.end(), ctx.transact.outputBuffer);
                      },
                      {0x10, 0x20, 0x30, 0x40, 0x00, 0x42}},
        // Fault: SetType stored a value nothing sent.
        ComposedQuery{"SetTypeIsByte5",
                      [](DriverContext& ctx) {
                        SetInt(ctx, 0x1234, 0);
                        SetByte(ctx, 0x77, 2);
                        SetType(ctx, 0x42);
                      },
                      {0x34, 0x12, 0x77, 0x00, 0x00, 0x42}},
        ComposedQuery{"SetTypeOutOfRangeKeepsByte5",
                      [](DriverContext& ctx) {
                        SetType(ctx, 240);
                        SetType(ctx, 241);
                        SetType(ctx, 9);
                      },
                      {0, 0, 0, 0, 0, 240}},
        ComposedQuery{"ClearBufferZeroesTheType",
                      [](DriverContext& ctx) {
                        SetType(ctx, 0x42);
                        ClearBuffer(ctx);
                      },
                      {0, 0, 0, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

struct QueryFailure {
  const char* name;
  int32_t quiet;
  size_t boxes;
  size_t events;
};

class QueryFailures : public ::testing::TestWithParam<QueryFailure> {};

TEST_P(QueryFailures, QuietFlagPostsInsteadOfShowing) {
  const QueryFailure& c = GetParam();
  Rig rig;
  rig.AddDevice(5).faults.silent = true;
  const uint8_t data[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(Query(rig.ctx, 5, data, c.quiet, 0), 0);
  rig.RunMs(1);
  EXPECT_EQ(rig.fx.boxes.boxes().size(), c.boxes);
  ASSERT_EQ(rig.errors.size(), c.events);
  if (c.events > 0) {
    EXPECT_EQ(rig.errors[0], (ErrorEvent{2, "Cannot send data over the network"}));
  }
  EXPECT_TRUE(rig.replies.empty());
}

INSTANTIATE_TEST_SUITE_P(Query, QueryFailures,
                         ::testing::Values(QueryFailure{"Shown", 0, 1, 0}, QueryFailure{"Quiet", 1, 0, 1},
                                           QueryFailure{"QuietHighBitsOnly", 0x10000, 1, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Query, BusyFourTimesIsError3) {
  Rig rig;
  rig.AddDevice(5);
  rig.MakeChannelBusy();
  const uint64_t start = rig.NowUs();
  EXPECT_EQ(Query(rig.ctx, 5, nullptr, 0, 0), 0);
  EXPECT_EQ(rig.ElapsedMsSince(start), 4u * 301u);  // four busy pauses
  ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "Cannot send data over the network, channel still busy");
  EXPECT_EQ(rig.ctx.transact.requests->count(), 0);
}

}  // namespace
}  // namespace zeva::services_test
