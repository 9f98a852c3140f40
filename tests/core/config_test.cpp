// Setters, getters and the library start: clamps, widths and results.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "core/config.h"
#include "core/settings_store.h"
#include "support/fixture.h"
#include "api/lifecycle.h"
#include "runtime/channel.h"

namespace zeva {
namespace {

using platform::RegType;

struct SetterCase {
  const char* name;
  std::function<int32_t(DriverContext&, int32_t)> set;
  std::function<int32_t(const DriverContext&)> stored;
  int32_t argument;
  int32_t expectResult;
  int32_t expectStored;
};

class SetterTest : public ::testing::TestWithParam<SetterCase> {};

TEST_P(SetterTest, StoresClampedValueAndReturnsTheSystemsResult) {
  test::DriverFixture f;
  const SetterCase& c = GetParam();
  EXPECT_EQ(c.set(*f.ctx, c.argument), c.expectResult);
  EXPECT_EQ(c.stored(*f.ctx), c.expectStored);
}

const auto kPort = [](const DriverContext& c) { return config::GetCOMPort(c); };
const auto kRx = [](const DriverContext& c) { return config::GetRXbuffer(c); };
const auto kTx = [](const DriverContext& c) { return config::GetTXbuffer(c); };
const auto kLocal = [](const DriverContext& c) { return config::GetLocalAddr(c); };
const auto kFrame = [](const DriverContext& c) { return config::GetFrameSize(c); };
const auto kPacket = [](const DriverContext& c) { return config::GetPacketTimeout(c); };
const auto kBusy = [](const DriverContext& c) { return config::GetBusyTimeout(c); };
const auto kProtocol = [](const DriverContext& c) { return c.core.settings.protocol; };
const auto kSpy = [](const DriverContext& c) { return c.core.switches.spy; };
const auto kAutoReply = [](const DriverContext& c) { return c.core.switches.autoReply; };
const auto kEcho = [](const DriverContext& c) { return int32_t{c.core.switches.echoCheck}; };

INSTANTIATE_TEST_SUITE_P(
    Clamps, SetterTest,
    ::testing::Values(
        SetterCase{"PortZero", config::SetCOMPort, kPort, 0, 1, 1},
        SetterCase{"PortAbove", config::SetCOMPort, kPort, 200, 200, 128},
        SetterCase{"PortLow16", config::SetCOMPort, kPort, 65537, 1, 1},
        SetterCase{"PortNegativeLow16", config::SetCOMPort, kPort, 65535, 1, 1},
        SetterCase{"RxAbove", config::SetRXbuffer, kRx, 5000, 5000, 2048},
        SetterCase{"TxNegative", config::SetTXbuffer, kTx, -7, 1, 1},
        SetterCase{"LocalNegative", config::SetLocalAddress, kLocal, -3, 0, 0},
        SetterCase{"LocalAbove", config::SetLocalAddress, kLocal, 300, 300, 255},
        SetterCase{"FrameBelow", config::SetFrameSize, kFrame, 6, 7, 7},
        SetterCase{"FrameAbove", config::SetFrameSize, kFrame, 9, 9, 8},
        SetterCase{"PacketZero", config::SetPacketTimeout, kPacket, 0, 81, 81},
        SetterCase{"PacketNegative", config::SetPacketTimeout, kPacket, -5, 81, 81},
        SetterCase{"PacketLow16Negative", config::SetPacketTimeout, kPacket, 0x1FFFF, 81, 81},
        SetterCase{"PacketKept", config::SetPacketTimeout, kPacket, 40, 40, 40},
        SetterCase{"BusyZero", config::SetBusyTimeout, kBusy, 0, 0, 300},
        SetterCase{"BusyNegative", config::SetBusyTimeout, kBusy, -1, -1, 300},
        SetterCase{"ProtocolRefused", config::SetProtocol, kProtocol, 3, 3, 2},
        SetterCase{"ProtocolOne", config::SetProtocol, kProtocol, 1, 1, 1},
        SetterCase{"SpyTwo", config::SetSpy, kSpy, 2, 1, 1},
        SetterCase{"SpyLow16Zero", config::SetSpy, kSpy, 65536, 0, 0},
        SetterCase{"AutoEchoMinusOne", config::SetAutoEcho, kAutoReply, -1, -1, -1},
        SetterCase{"EchoCheckLow16", config::SetEchoCheck, kEcho, 0x10000, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AdapterIdTest, ZeroAndOneDriveEchoCheckOthersLeaveIt) {
  test::DriverFixture f;
  DriverContext& c = *f.ctx;
  config::SetEchoCheck(c, 0);
  EXPECT_EQ(config::SetAdapterID(c, 2), 2);
  EXPECT_EQ(c.core.switches.echoCheck, 0);
  EXPECT_EQ(config::SetAdapterID(c, 0), 0);
  EXPECT_EQ(c.core.switches.echoCheck, 1);
  config::SetAdapterID(c, 1);
  EXPECT_EQ(c.core.switches.echoCheck, 0);
  config::SetAdapterID(c, 5);
  EXPECT_EQ(c.core.switches.echoCheck, 0);
  EXPECT_EQ(config::GetAdapterID(c), 5);
}

TEST(PacketTimeoutTest, SaveWritesWhatTheGetterReturns) {
  const struct {
    const char* fault;
    int32_t argument;
    int32_t expect;
  } cases[] = {
      {"most negative 16-bit value kept instead of the default", static_cast<int32_t>(0xFFFF8000), 81},
      {"largest value saved narrowed or stale", 32767, 32767},
  };
  for (const auto& c : cases) {
    test::DriverFixture f;
    EXPECT_EQ(config::SetPacketTimeout(*f.ctx, c.argument), c.expect) << c.fault;
    EXPECT_EQ(config::GetPacketTimeout(*f.ctx), c.expect) << c.fault;
    SaveSettings(*f.ctx);
    EXPECT_EQ(SettingsStore(f.platform).ReadDword(kSettingsKey, "PacketTimeout", -1), c.expect) << c.fault;
  }
}

// --- library start ---------------------------------------------------------

void StoreDword(testing::TestPlatform& p, const char* name, int32_t value) {
  const auto u = static_cast<uint32_t>(value);
  const uint8_t b[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
                        static_cast<uint8_t>(u >> 24)};
  p.registry().CreateKey(kSettingsKey);
  p.registry().SetValue(kSettingsKey, name, RegType::kDword, b, 4);
}

TEST(AttachTest, WithoutRegistryKeyEverySettingTakesItsDefault) {
  test::DriverFixture f;
  const Settings& s = f.ctx->core.settings;
  EXPECT_EQ(s.packetTimeout, 81);
  EXPECT_EQ(s.busyTimeout, 300);
  EXPECT_EQ(s.port, 1);
  EXPECT_EQ(s.bps, 19200);
  EXPECT_EQ(s.frameSize, 8);
  EXPECT_EQ(s.rxBuffer, 1024);
  EXPECT_EQ(s.txBuffer, 11);
  EXPECT_EQ(s.localAddress, 1);
  EXPECT_EQ(s.adapterId, 0);
  EXPECT_EQ(s.protocol, 2);
  EXPECT_EQ(f.ctx->core.switches.echoCheck, 1);
  EXPECT_EQ(f.ctx->core.switches.spy, 0);
  EXPECT_EQ(f.ctx->core.switches.autoReply, 1);
  EXPECT_EQ(f.ctx->core.switches.noAck, 0);
  EXPECT_NE(f.ctx->runtime.channel(), nullptr);
  EXPECT_NE(f.ctx->transact.requests, nullptr);
  EXPECT_NE(f.ctx->runtime.echo, nullptr);
  EXPECT_TRUE(f.boxes.boxes().empty());
}

struct LoadCase {
  const char* value;
  int32_t stored;
  std::function<int32_t(const DriverContext&)> loaded;
  int32_t expect;
};

TEST(AttachTest, LoadedValuesAreNarrowedThenKeptInTheSettersRange) {
  const auto bps = [](const DriverContext& c) { return c.core.settings.bps; };
  const LoadCase cases[] = {
      // What a valid value gives.
      {"Port", 65537, kPort, 1},
      {"LocalAddress", 0x00010005, kLocal, 5},
      {"AdapterID", 70000, [](const DriverContext& c) { return c.core.settings.adapterId; }, 4464},
      {"PacketTimeout", 8000, kPacket, 8000},
      // Fault: 0 and 0x7fffffff (-1 in 16 bits) loaded, every wait ended at once.
      {"PacketTimeout", 0, kPacket, 81},
      {"PacketTimeout", 0x7FFFFFFF, kPacket, 81},
      // Fault: 0x8000 loaded as -32768.
      {"PacketTimeout", 0x8000, kPacket, 81},
      // Fault: COM0 and COM-1 kept; no port could open.
      {"Port", 0, kPort, 1},
      {"RXBuffer", 65535, kRx, 1},
      {"RXBuffer", 5000, kRx, 2048},
      // Fault: 0x1ff loaded as local address 511.
      {"LocalAddress", 0x1FF, kLocal, 255},
      // Fault: a negative rate kept; the port never opened.
      {"bps", -9600, bps, 19200},
      {"bps", 0, bps, 19200},
      {"Protocol", 7, kProtocol, 2},
  };
  for (const LoadCase& c : cases) {
    test::DriverFixture f(1000, false);
    StoreDword(f.platform, c.value, c.stored);
    ProcessAttach(*f.ctx);
    EXPECT_EQ(c.loaded(*f.ctx), c.expect) << c.value << "=" << c.stored;
    EXPECT_TRUE(f.boxes.boxes().empty()) << "a load reports nothing";
  }
}

TEST(AttachTest, StoredAdapterIdSetsEchoCheck) {
  const struct {
    int32_t adapter;
    uint8_t echo;
  } cases[] = {{0, 1}, {1, 0}, {5, 0}};
  // Other adapter kinds keep the load-time value of the switch, which is off.
  for (const auto& c : cases) {
    test::DriverFixture f(1000, false);
    StoreDword(f.platform, "AdapterID", c.adapter);
    ProcessAttach(*f.ctx);
    EXPECT_EQ(f.ctx->core.switches.echoCheck, c.echo) << c.adapter;
  }
}

TEST(AttachTest, StartResetsOutputBufferAndServiceState) {
  test::DriverFixture f(1000, false);
  std::memset(f.ctx->transact.outputBuffer, 0xAA, 6);
  f.ctx->services.mapRunning = 1;
  f.ctx->transact.awaitedResponseCode = 9;
  ProcessAttach(*f.ctx);
  for (uint8_t b : f.ctx->transact.outputBuffer) EXPECT_EQ(b, 0);
  EXPECT_EQ(f.ctx->services.mapRunning, 0);
  EXPECT_EQ(f.ctx->transact.awaitedResponseCode, 0);
}

// --- version and copystring --------------------------------------------------

TEST(VersionTest, CommasBecomePointsAndBufferMustHoldTheTerminator) {
  test::DriverFixture f;
  char buf[32];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(config::GetZEVADriverVersion(*f.ctx, buf, 11), 11);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(config::GetZEVADriverVersion(*f.ctx, buf, 12), 11);
  EXPECT_STREQ(buf, "1. 2. 0. 19");
  EXPECT_EQ(config::GetZEVADriverVersion(*f.ctx, nullptr, 100), 11);
  EXPECT_EQ(config::GetZEVADriverVersion(*f.ctx, buf, -1), 11);
}

TEST(VersionTest, MissingResourceGivesEmptyText) {
  test::DriverFixture f;
  f.platform.versionStrings.clear();
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(config::GetZEVADriverVersion(*f.ctx, buf, 1), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'x');
}

TEST(CopyStringTest, Table) {
  const struct {
    const char* source;
    bool nullDestination;
    int32_t size;
    int32_t expect;
    const char* copied;  // nullptr: untouched
  } cases[] = {
      {"abc", false, 0, 4, nullptr},  {"abc", false, 3, 0, nullptr}, {"abc", false, 4, 3, "abc"},
      {"abc", true, 0, 0, nullptr},   {"abc", false, -1, 0, nullptr}, {nullptr, false, 10, 0, nullptr},
      {"", false, 1, 0, ""},
  };
  for (const auto& c : cases) {
    char dest[8];
    std::memset(dest, '#', sizeof dest);
    EXPECT_EQ(config::CopyString(c.source, c.nullDestination ? nullptr : dest, c.size), c.expect);
    if (c.copied) {
      EXPECT_STREQ(dest, c.copied);
    } else {
      EXPECT_EQ(dest[0], '#');
    }
  }
}

}  // namespace
}  // namespace zeva
