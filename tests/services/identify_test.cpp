// Identification and the bus map over the simulated bus.
#include <gtest/gtest.h>

#include "core/config.h"
#include "runtime/port.h"
#include "service_rig.h"
#include "services/identify.h"
#include "transact/request_table.h"

namespace zeva::services_test {
namespace {

using sim::Command;

constexpr uint8_t kIdentifyCode = 250;

void NameProducts(Rig& rig, std::map<std::string, std::string> names) {
  rig.fx.platform.profiles["Orlindo.inf"]["DeviceIDs"] = std::move(names);
}

TEST(GetFirmwareInfo, ReportsTheDevicesTexts) {
  Rig rig;
  rig.AddDevice(5, 0x01A2B3, 5, 2, 7);
  NameProducts(rig, {{"5", "Valve controller"}});
  EXPECT_EQ(GetFirmwareInfo(rig.ctx, 5), 1);
  const std::vector<Bytes> sent = rig.HostRequests(kIdentifyCode);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 10), (Bytes{0xFE, 5, 1, 0xC1, 0, 0, 0, 0, 0, 0xFA}));
  // The version numbers arrive low before high; the text is high.low.
  EXPECT_EQ(rig.firmware, (std::vector<FirmwareInfo>{{5, "S01A2B3", 5, "Valve controller", 7, 2, "2.7"}}));
}

struct ProductCase {
  const char* name;
  uint8_t product;
  bool listed;
  const char* expected;
};

class ProductNames : public ::testing::TestWithParam<ProductCase> {};

TEST_P(ProductNames, ComeFromTheProfileFileBelow200) {
  const ProductCase& c = GetParam();
  Rig rig;
  rig.AddDevice(5, 0x000001, c.product, 1, 0);
  if (c.listed) NameProducts(rig, {{std::to_string(c.product), "Listed name"}});
  ASSERT_EQ(GetFirmwareInfo(rig.ctx, 5), 1);
  ASSERT_EQ(rig.firmware.size(), 1u);
  EXPECT_EQ(rig.firmware[0].productName, c.expected);
  EXPECT_EQ(rig.firmware[0].product, c.product);
}

INSTANTIATE_TEST_SUITE_P(IdentifyDevice, ProductNames,
                         ::testing::Values(ProductCase{"Listed", 5, true, "Listed name"},
                                           ProductCase{"Listed199", 199, true, "Listed name"},
                                           ProductCase{"Unlisted", 199, false, "[product unknown]"},
                                           ProductCase{"SpecialBuild200", 200, true, "[special build]"},
                                           ProductCase{"SpecialBuild255", 255, false, "[special build]"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GetFirmwareInfo, LocalStationAnswersWithThePortClosed) {
  for (int32_t address : {1, 0x10001}) {  // the low 16 bits name the station
    Rig rig({}, false);
    rig.fx.platform.versionStrings["FileVersion"] = "1, 2, 0, 19";
    EXPECT_EQ(GetFirmwareInfo(rig.ctx, address), 1);
    EXPECT_EQ(rig.firmware,
              (std::vector<FirmwareInfo>{{1, "S000000", 0, "[WIN32 ZEVA COM Driver]", 0, 0, "1. 2. 0. 19"}}));
    EXPECT_TRUE(rig.NothingSent());
  }
}

TEST(GetFirmwareInfo, AddressZeroAcceptsWhoeverAnswers) {
  Rig rig;
  rig.AddDevice(9, 0x00C0DE, 12, 0, 9);
  EXPECT_EQ(GetFirmwareInfo(rig.ctx, 0), 1);
  ASSERT_EQ(rig.firmware.size(), 1u);
  EXPECT_EQ(rig.firmware[0].address, 9);
  EXPECT_EQ(rig.firmware[0].serial, "S00C0DE");
  EXPECT_EQ(rig.firmware[0].versionText, "0.9");
}

// Several devices answer a request to address 0 at once; the driver's
// acknowledgement of each is written while the previous one still waits for
// its echo, and those echoes follow each other on the line.
TEST(GetFirmwareInfo, AddressZeroOnABusOfSeveralDevicesIsAnsweredAtOnce) {
  Rig rig;
  rig.AddDevice(5, 0x01A2B3, 5, 2, 7);
  rig.AddDevice(7, 0x00C0DE, 12, 0, 9);
  rig.AddDevice(12, 0x1F2E3D, 3, 1, 4);
  EXPECT_EQ(GetFirmwareInfo(rig.ctx, 0), 1);
  ASSERT_EQ(rig.firmware.size(), 1u);
  EXPECT_TRUE(rig.firmware[0].address == 5 || rig.firmware[0].address == 7 || rig.firmware[0].address == 12);
  EXPECT_LT(rig.fx.platform.NowUs(), 20'000u) << "no acknowledgement waited out its echo";
  EXPECT_EQ(rig.HostRequests(250).size(), 1u);
}

TEST(GetFirmwareInfo, AnswersFromAnotherStationAreNotAccepted) {
  Rig rig;
  sim::Device& device = rig.AddDevice(5);
  device.faults.wrongSourceReplies = -1;
  device.faults.wrongSource = 6;
  EXPECT_EQ(GetFirmwareInfo(rig.ctx, 5), 0);
  EXPECT_EQ(CommandsOf(device, Command::kIdentify).size(), 4u);
  rig.RunMs(1);
  EXPECT_TRUE(rig.firmware.empty());
  EXPECT_TRUE(rig.errors.empty());
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
}

TEST(GetFirmwareInfo, ClosedPortIsZeroWithoutReport) {
  Rig rig({}, false);
  rig.AddDevice(5);
  EXPECT_EQ(GetFirmwareInfo(rig.ctx, 5), 0);
  EXPECT_TRUE(rig.NothingSent());
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
}

struct IdentifyFailure {
  const char* name;
  SendFailures failures;
  bool busy;  // otherwise the device never acknowledges
  int32_t code;
  const char* boxText;
};

class IdentifyFailures : public ::testing::TestWithParam<IdentifyFailure> {};

// Posted failures never make a box, whatever NoErrMsgBox says.
TEST_P(IdentifyFailures, AreShownOrPostedByTheQuietFlag) {
  const IdentifyFailure& c = GetParam();
  Rig rig;
  rig.AddDevice(5).faults.silent = !c.busy;
  if (c.busy) rig.MakeChannelBusy();
  EXPECT_EQ(IdentifyDevice(rig.ctx, 5, InfoCallback::kOnFirmwareInfo, c.failures, nullptr), 0);
  rig.FreeChannel();
  rig.RunMs(1);
  if (c.failures == SendFailures::kPosted) {
    EXPECT_TRUE(rig.fx.boxes.boxes().empty());
    ASSERT_EQ(rig.errors.size(), 1u);
    EXPECT_EQ(rig.errors[0].code, c.code);
  } else {
    EXPECT_TRUE(rig.errors.empty());
    ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
    EXPECT_EQ(rig.fx.boxes.boxes()[0].text, c.boxText);
  }
  EXPECT_EQ(rig.ctx.transact.requests->count(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    IdentifyDevice, IdentifyFailures,
    ::testing::Values(IdentifyFailure{"NotSentShown", SendFailures::kShown, false, 2, "Cannot send data over the network"},
                      IdentifyFailure{"NotSentPosted", SendFailures::kPosted, false, 2, ""},
                      IdentifyFailure{"BusyShown", SendFailures::kShown, true, 3,
                                      "Cannot send data over the network, channel still busy"},
                      IdentifyFailure{"BusyPosted", SendFailures::kPosted, true, 3, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IdentifyDevice, FullRequestTableIsError12) {
  Rig rig;
  rig.AddDevice(5);
  for (int i = 0; i < RequestTable::kMaxRequests; ++i) rig.ctx.transact.requests->Push(RQ_REPLY, 99, 0, nullptr, nullptr);
  EXPECT_EQ(GetFirmwareInfo(rig.ctx, 5), 0);
  ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "Too many requests, requested operation aborted");
  EXPECT_TRUE(rig.HostDataFrames().empty());
}

// --- bus map ---------------------------------------------------------------------

std::vector<int32_t> FullMapProgress() {
  std::vector<int32_t> expected;
  for (int32_t a = 1; a <= 127; ++a) expected.push_back(a);
  expected.push_back(0);
  return expected;
}

TEST(MakeMap, ProbesEveryAddressAndReportsEachDevice) {
  Rig rig;
  rig.AddDevice(3, 0x01A2B3, 5, 2, 7);
  rig.AddDevice(40, 0x00C0DE, 12, 0, 9);
  rig.AddDevice(127, 0xFFFFFF, 200, 1, 4);
  EXPECT_EQ(MakeMap(rig.ctx), 1);
  EXPECT_EQ(rig.mapProgress, FullMapProgress());
  EXPECT_EQ(rig.found, (std::vector<DeviceFound>{{3, " S01A2B3", 5, 7, 2},
                                                  {40, " S00C0DE", 12, 9, 0},
                                                  {127, " SFFFFFF", 200, 4, 1}}));
  const std::vector<Bytes> probes = rig.HostRequests(kIdentifyCode);
  ASSERT_EQ(probes.size(), 127u);
  EXPECT_EQ(probes[0][3], 0xD9);  // unacknowledged
  EXPECT_EQ(rig.ctx.services.mapRunning, 0);
  EXPECT_EQ(rig.ctx.transact.requests->count(), 0);
}

TEST(MakeMap, AbortFromOnMapProgressEndsBeforeThatProbe) {
  Rig rig;
  rig.AddDevice(3);
  rig.AddDevice(20);
  rig.onMapProgress = [&](int32_t address) {
    if (address == 10) MapAbort(rig.ctx);
  };
  EXPECT_EQ(MakeMap(rig.ctx), 1);
  EXPECT_EQ(rig.mapProgress, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0}));
  EXPECT_EQ(rig.HostRequests(kIdentifyCode).size(), 9u);
  EXPECT_EQ(rig.found.size(), 1u);
  EXPECT_EQ(rig.ctx.services.mapAbortRequested, 0);
}

TEST(MakeMap, AbortDuringAProbeStillAnnouncesTheNextAddress) {
  Rig rig;
  rig.onMapProgress = [&](int32_t address) {
    if (address == 10) rig.Later([&] { MapAbort(rig.ctx); });
  };
  EXPECT_EQ(MakeMap(rig.ctx), 1);
  EXPECT_EQ(rig.mapProgress, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0}));
  EXPECT_EQ(rig.HostRequests(kIdentifyCode).size(), 10u);
}

TEST(MakeMap, EarlierAbortDoesNotStopALaterMap) {
  Rig rig;
  MapAbort(rig.ctx);
  EXPECT_EQ(MakeMap(rig.ctx), 1);
  EXPECT_EQ(rig.mapProgress, FullMapProgress());
}

TEST(MakeMap, NestedMapIsRefused) {
  Rig rig;
  int32_t nested = -1;
  rig.onMapProgress = [&](int32_t address) {
    if (address == 2) nested = MakeMap(rig.ctx);
    if (address == 3) MapAbort(rig.ctx);
  };
  EXPECT_EQ(MakeMap(rig.ctx), 1);
  EXPECT_EQ(nested, 0);
  EXPECT_EQ(rig.mapProgress, (std::vector<int32_t>{1, 2, 3, 0}));
}

TEST(MakeMap, ClosedPortCallsNothing) {
  Rig rig({}, false);
  EXPECT_EQ(MakeMap(rig.ctx), 0);
  EXPECT_TRUE(rig.mapProgress.empty());
  EXPECT_TRUE(rig.NothingSent());
}

TEST(MakeMap, BusyAnswerProbesTheAddressAgain) {
  Rig rig;
  rig.AddDevice(5);
  int32_t busyFor = 1;
  rig.onMapProgress = [&](int32_t address) {
    if (address == 5 && busyFor-- > 0) {
      rig.MakeChannelBusy();
      rig.Later([&] { rig.FreeChannel(); });
    }
    if (address == 6) MapAbort(rig.ctx);
  };
  EXPECT_EQ(MakeMap(rig.ctx), 1);
  EXPECT_EQ(rig.mapProgress, (std::vector<int32_t>{1, 2, 3, 4, 5, 5, 6, 0}));
  EXPECT_EQ(rig.found.size(), 1u);
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
}

TEST(MakeMap, FourthBusyAnswerPassesTheAddressOverSilently) {
  Rig rig;
  rig.AddDevice(5);
  rig.AddDevice(6);
  rig.onMapProgress = [&](int32_t address) {
    if (address == 5) rig.MakeChannelBusy();
    if (address == 6) rig.FreeChannel();
    if (address == 7) MapAbort(rig.ctx);
  };
  EXPECT_EQ(MakeMap(rig.ctx), 1);
  EXPECT_EQ(rig.mapProgress, (std::vector<int32_t>{1, 2, 3, 4, 5, 5, 5, 5, 6, 7, 0}));
  ASSERT_EQ(rig.found.size(), 1u);
  EXPECT_EQ(rig.found[0].address, 6);
  rig.RunMs(1);
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
  EXPECT_TRUE(rig.errors.empty());
}

TEST(MakeMap, FullRequestTableEndsTheMapWithError12) {
  Rig rig;
  for (int i = 0; i < RequestTable::kMaxRequests; ++i) rig.ctx.transact.requests->Push(RQ_REPLY, 99, 0, nullptr, nullptr);
  EXPECT_EQ(MakeMap(rig.ctx), 0);
  EXPECT_EQ(rig.mapProgress, (std::vector<int32_t>{1, 0}));
  ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "Too many requests, requested operation aborted");
  EXPECT_EQ(rig.ctx.services.mapRunning, 0);
}

}  // namespace
}  // namespace zeva::services_test
