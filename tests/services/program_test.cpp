// Address assignment and program download over the simulated bus.
#include <gtest/gtest.h>

#include <map>

#include "core/config.h"
#include "link/frame.h"
#include "runtime/port.h"
#include "service_rig.h"
#include "services/program.h"

namespace zeva::services_test {
namespace {

using sim::Command;

constexpr const char* kBadCall =
    "Bad call\nRemote peer address cannot be zero nor address of this station\nSerial must be set.";
constexpr uint32_t kSerial = 0x01A2B3;
constexpr uint8_t kTarget = 9;

Bytes ProgramBytes(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

std::vector<Bytes> BodyFrames(const Rig& rig) {
  std::vector<Bytes> out;
  for (const Bytes& f : rig.HostDataFrames()) {
    if (link::ControlType(f[3]) == 2) out.push_back(f);
  }
  return out;
}

void ExpectSwitchesCleared(const DriverContext& ctx) {
  EXPECT_EQ(ctx.core.switches.noAck, 0);
  EXPECT_EQ(ctx.transact.awaitedResponseCode, 0);
}

// --- serial text ----------------------------------------------------------------

struct SerialCase {
  const char* text;
  uint32_t serial;
};

TEST(ParseSerialText, HexDigitsShiftInOthersAreSkipped) {
  const SerialCase cases[] = {
      {"S01a2B3", 0x01A2B3}, {"S12", 0x12},        {"S1234567", 0x123456}, {"S", 0},
      {"S-01-A2", 0x01A2},   {"SFFFFFF", 0xFFFFFF}, {"S0g1", 0x01},
  };
  for (const SerialCase& c : cases) EXPECT_EQ(services::ParseSerialText(c.text), c.serial) << c.text;
}

// --- argument check ----------------------------------------------------------------

enum class Op { kSetAddrID, kProgram, kProgramDirect };

int32_t Call(Rig& rig, Op op, const char* serial, int32_t address, const uint8_t* data, int32_t length) {
  switch (op) {
    case Op::kSetAddrID: return SetAddrID(rig.ctx, serial, address, 40);
    case Op::kProgram: return Program(rig.ctx, serial, address, 5, 0, 0, data, length);
    case Op::kProgramDirect: return ProgramDirect(rig.ctx, serial, address, 5, 0, 0, data, length);
  }
  return -1;
}

struct BadCall {
  const char* name;
  Op op;
  const char* serial;
  int32_t address;
  int32_t length;  // of a real program, unless nullData
  bool nullData;
  const char* text;
};

class BadCalls : public ::testing::TestWithParam<BadCall> {};

TEST_P(BadCalls, AreAlwaysABoxAndChangeNothing) {
  const BadCall& c = GetParam();
  Rig rig({}, false);
  rig.AddDevice(kTarget);
  config::SetNoErrMsgBox(rig.ctx, 1);
  rig.ctx.services.lastProgramError = 77;
  const Bytes program = ProgramBytes(16);
  EXPECT_EQ(Call(rig, c.op, c.serial, c.address, c.nullData ? nullptr : program.data(), c.length), 0);
  rig.RunMs(1);
  ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, c.text);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].caption, "JV ZEVA COM driver");
  EXPECT_EQ(rig.fx.boxes.boxes()[0].type, static_cast<unsigned>(MB_ICONERROR));
  EXPECT_TRUE(rig.errors.empty());
  EXPECT_TRUE(rig.NothingSent());
  EXPECT_EQ(rig.ctx.services.lastProgramError, c.op == Op::kSetAddrID ? 77 : 1);
  EXPECT_EQ(IsOpen(rig.ctx), 0);
}

constexpr const char* kBadProgram = "Bad call\nProgram bytes must be given, at most 65535 of them.";

INSTANTIATE_TEST_SUITE_P(
    Download, BadCalls,
    ::testing::Values(BadCall{"SetAddrIDAddressZero", Op::kSetAddrID, "S01A2B3", 0, 16, false, kBadCall},
                      BadCall{"SetAddrIDLocalAddress", Op::kSetAddrID, "S01A2B3", 1, 16, false, kBadCall},
                      BadCall{"SetAddrIDLowerCaseS", Op::kSetAddrID, "s01A2B3", 9, 16, false, kBadCall},
                      BadCall{"SetAddrIDEmptySerial", Op::kSetAddrID, "", 9, 16, false, kBadCall},
                      BadCall{"SetAddrIDNullSerial", Op::kSetAddrID, nullptr, 9, 16, false, kBadCall},
                      BadCall{"ProgramLow16Zero", Op::kProgram, "S01A2B3", 0x10000, 16, false, kBadCall},
                      BadCall{"ProgramLocalAddress", Op::kProgram, "S01A2B3", 0x10001, 16, false, kBadCall},
                      BadCall{"ProgramNoSerial", Op::kProgram, "01A2B3", 9, 16, false, kBadCall},
                      BadCall{"ProgramTooLong", Op::kProgram, "S01A2B3", 9, 65536, true, kBadProgram},
                      BadCall{"ProgramNegativeLength", Op::kProgram, "S01A2B3", 9, -1, false, kBadProgram},
                      BadCall{"ProgramNullData", Op::kProgram, "S01A2B3", 9, 16, true, kBadProgram},
                      BadCall{"DirectAddressZero", Op::kProgramDirect, "S01A2B3", 0, 16, false, kBadCall},
                      // Fault: the low 16 bits were checked, the low byte 0 went out as a broadcast.
                      BadCall{"SetAddrIDLowByteZero", Op::kSetAddrID, "S01A2B3", 256, 16, false, kBadCall},
                      BadCall{"DirectLowByteZero", Op::kProgramDirect, "S01A2B3", 0x200, 16, false, kBadCall},
                      BadCall{"SetAddrIDLowByteIsTheStation", Op::kSetAddrID, "S01A2B3", 257, 16, false, kBadCall},
                      // A device at 128..255 could never be addressed again.
                      BadCall{"SetAddrIDAbove127", Op::kSetAddrID, "S01A2B3", 128, 16, false, kBadCall},
                      BadCall{"ProgramAbove127", Op::kProgram, "S01A2B3", 255, 16, false, kBadCall},
                      BadCall{"DirectTooLong", Op::kProgramDirect, "S01A2B3", 9, 70000, true, kBadProgram}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Download, PortThatDoesNotOpenIsError6AndCode2) {
  for (Op op : {Op::kSetAddrID, Op::kProgram, Op::kProgramDirect}) {
    Rig rig({}, false);
    rig.fx.platform.DetachLine(rig.ctx.core.settings.port);
    const Bytes program = ProgramBytes(16);
    EXPECT_EQ(Call(rig, op, "S01A2B3", kTarget, program.data(), 16), 0);
    ASSERT_FALSE(rig.fx.boxes.boxes().empty());
    EXPECT_EQ(rig.fx.boxes.boxes().back().text, "Can't open device communication channel");
    EXPECT_EQ(rig.ctx.services.lastProgramError, op == Op::kSetAddrID ? 0 : 2);
    EXPECT_EQ(IsOpen(rig.ctx), 0);
    ExpectSwitchesCleared(rig.ctx);
  }
}

// --- SetAddrID ----------------------------------------------------------------------

TEST(SetAddrID, BroadcastGivesTheSerialsDeviceItsAddress) {
  for (bool open : {false, true}) {
    Rig rig({}, open);
    sim::Device& device = rig.AddDevice(0, kSerial);
    sim::Device& other = rig.AddDevice(0, 0x000777);
    EXPECT_EQ(SetAddrID(rig.ctx, "S01a2B3", 0x10000 + kTarget, 42), 1);
    EXPECT_EQ(device.address(), kTarget);
    EXPECT_EQ(other.address(), 0);
    const std::vector<Bytes> sent = rig.HostDataFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0][1], 0);  // to every station
    EXPECT_EQ(DataOf(sent[0]), (Bytes{0x01, 0xA2, 0xB3, 0, kTarget, 251}));
    EXPECT_EQ(rig.progress, (std::vector<ProgressEvent>{{42, "Searching device..."}}));
    EXPECT_EQ(IsOpen(rig.ctx), open ? 1 : 0);
    EXPECT_EQ(rig.ctx.core.switches.noAck, 0);
  }
}

// --- Program ------------------------------------------------------------------------

struct DownloadCase {
  const char* name;
  uint8_t versionHigh;
  size_t length;
  bool alternating;
};

class Downloads : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(Downloads, DeviceReceivesTheExactProgram) {
  const DownloadCase& c = GetParam();
  Rig rig({}, false);
  sim::Device& device = rig.AddDevice(0, kSerial, 5, c.versionHigh, 3);
  rig.ctx.core.switches.noAck = 1;  // a client's setting is not restored
  const Bytes program = ProgramBytes(c.length);
  EXPECT_EQ(Program(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), static_cast<int32_t>(program.size())), 1);
  EXPECT_EQ(rig.ctx.services.lastProgramError, 0);
  EXPECT_EQ(device.address(), kTarget);
  const sim::ProgramReceipt& receipt = device.program();
  EXPECT_EQ(receipt.bytes, program);
  EXPECT_EQ(receipt.announcedLength, c.length);
  EXPECT_EQ(receipt.announcedChecksum, receipt.checksumSum);
  EXPECT_EQ(receipt.repeatsIgnored, 0);
  // Restarted afterwards: the stops, then the restart's clear and reboot.
  EXPECT_EQ(CommandsOf(device, Command::kStop).size(), 4u);
  EXPECT_EQ(device.reboots(), 1);
  EXPECT_EQ(device.run_state(), sim::RunState::kRunning);
  EXPECT_EQ(rig.programDone, 1);
  EXPECT_EQ(IsOpen(rig.ctx), 0);
  ExpectSwitchesCleared(rig.ctx);
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
  const std::vector<Bytes> body = BodyFrames(rig);
  ASSERT_EQ(body.size(), (c.length + 5) / 6);
  for (size_t i = 0; i < body.size(); ++i) {
    EXPECT_EQ((body[i][3] & link::kAlternationBit) != 0, c.alternating && i % 2 == 1) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Program, Downloads,
                         ::testing::Values(DownloadCase{"Version2Alternating", 2, 100, true},
                                           DownloadCase{"Version0Normal", 0, 40, false},
                                           DownloadCase{"ThirteenBytes", 1, 13, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Program, CommitAnnouncesLengthChecksumAndTarget) {
  Rig rig;
  rig.AddDevice(0, kSerial, 5, 2, 0);
  const Bytes program = ProgramBytes(13);
  ASSERT_EQ(Program(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 13), 1);
  const std::vector<Bytes> commits = rig.HostRequests(253);
  ASSERT_EQ(commits.size(), 1u);
  const std::vector<Bytes> body = BodyFrames(rig);
  ASSERT_EQ(body.size(), 3u);
  const auto sum = static_cast<uint8_t>(body[0][10] + body[1][10] + body[2][10]);
  EXPECT_EQ(DataOf(commits[0]), (Bytes{13, 0, sum, 0, kTarget, 253}));
  EXPECT_EQ(commits[0][1], kTarget);
  EXPECT_EQ(IsOpen(rig.ctx), 1);
}

TEST(Program, Version0DeviceIsPacedAfterEveryAcknowledgement) {
  Rig rig;
  rig.AddDevice(0, kSerial, 5, 0, 9);
  const Bytes program = ProgramBytes(24);
  ASSERT_EQ(Program(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 24), 1);
  std::vector<uint64_t> starts;
  for (const WireFrame& f : rig.WireFrames(sim::TalkerKind::kHost)) {
    if (f.bytes.size() == link::kDataFrameSize && link::ControlType(f.bytes[3]) == 2) starts.push_back(f.startUs);
  }
  ASSERT_EQ(starts.size(), 4u);
  for (size_t i = 1; i < starts.size(); ++i) EXPECT_GE(starts[i] - starts[i - 1], 250000u);
}

TEST(Program, TargetAnsweringAtTheFifthIdentificationIsAccepted) {
  Rig rig;
  sim::Device& device = rig.AddDevice(0, kSerial, 5, 2, 0);
  // Four identifications of four requests each go unanswered.
  device.faults.wrongSourceReplies = 16;
  device.faults.wrongSource = 99;
  const Bytes program = ProgramBytes(12);
  EXPECT_EQ(Program(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 12), 1);
  // 16 unanswered, the accepted one, and the one of the device check.
  EXPECT_EQ(CommandsOf(device, Command::kIdentify).size(), 18u);
  EXPECT_EQ(device.program().status, sim::ProgramStatus::kOk);
  rig.RunMs(1);
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
}

TEST(Program, TargetSilentForElevenIdentificationsIsError7) {
  Rig rig({}, false);
  sim::Device& device = rig.AddDevice(0, kSerial, 5, 2, 0);
  device.faults.wrongSourceReplies = -1;
  device.faults.wrongSource = 99;
  const Bytes program = ProgramBytes(12);
  EXPECT_EQ(Program(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 12), 0);
  EXPECT_EQ(CommandsOf(device, Command::kIdentify).size(), 44u);
  EXPECT_EQ(rig.ctx.services.lastProgramError, 4);
  ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "The device does not respond, address ID might not be set");
  EXPECT_EQ(IsOpen(rig.ctx), 0);
  EXPECT_EQ(device.program().status, sim::ProgramStatus::kNone);
  ExpectSwitchesCleared(rig.ctx);
}

// --- device check --------------------------------------------------------------------

struct CheckCase {
  const char* name;
  Op op;
  uint32_t deviceSerial;
  uint8_t deviceProduct;
  uint8_t versionHigh;
  uint8_t versionLow;
  const char* serial;
  int32_t product;
  int32_t minLow;
  int32_t minHigh;
  int32_t result;
  const char* boxText;  // nullptr: no box
  int32_t programError;
};

class DeviceChecks : public ::testing::TestWithParam<CheckCase> {};

TEST_P(DeviceChecks, RefuseUnfitDevices) {
  const CheckCase& c = GetParam();
  Rig rig({}, false);
  sim::Device& device = rig.AddDevice(kTarget, c.deviceSerial, c.deviceProduct, c.versionHigh, c.versionLow);
  const Bytes program = ProgramBytes(20);
  const int32_t result =
      c.op == Op::kProgram ? Program(rig.ctx, c.serial, kTarget, c.product, c.minLow, c.minHigh, program.data(), 20)
                           : ProgramDirect(rig.ctx, c.serial, kTarget, c.product, c.minLow, c.minHigh,
                                           program.data(), 20);
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(rig.ctx.services.lastProgramError, c.programError);
  if (c.boxText == nullptr) {
    EXPECT_TRUE(rig.fx.boxes.boxes().empty());
    EXPECT_EQ(device.program().bytes, program);
  } else {
    ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
    EXPECT_EQ(rig.fx.boxes.boxes()[0].text, c.boxText);
    EXPECT_TRUE(CommandsOf(device, Command::kCommitProgram).empty());
    EXPECT_EQ(IsOpen(rig.ctx), 0);  // closed again, as it was
  }
  ExpectSwitchesCleared(rig.ctx);
}

constexpr const char* kSerialMismatch =
    "Device not found (serial mismatch), please check out serial code; an other device has the same address ID.";
constexpr const char* kWrongProduct = "Destination device is not valid for this program!";
constexpr const char* kTooOld = "Destination device cannot support this program!";

INSTANTIATE_TEST_SUITE_P(
    Download, DeviceChecks,
    ::testing::Values(
        CheckCase{"DirectSerialMismatch", Op::kProgramDirect, 0x0BAD00, 5, 3, 0, "S01A2B3", 5, 0, 0, 0,
                  kSerialMismatch, 5},
        CheckCase{"ProgramSerialMismatch", Op::kProgram, 0x0BAD00, 5, 3, 0, "S01A2B3", 5, 0, 0, 0, kSerialMismatch,
                  5},
        CheckCase{"DirectWrongProduct", Op::kProgramDirect, kSerial, 6, 3, 0, "S01A2B3", 5, 0, 0, 0, kWrongProduct,
                  6},
        CheckCase{"ProgramWrongProduct", Op::kProgram, kSerial, 6, 3, 0, "S01A2B3", 5, 0, 0, 0, kWrongProduct, 6},
        CheckCase{"Product200IsChecked", Op::kProgramDirect, kSerial, 6, 3, 0, "S01A2B3", 200, 0, 0, 0,
                  kWrongProduct, 6},
        CheckCase{"VersionBelowMinimum", Op::kProgramDirect, kSerial, 5, 3, 0, "S01A2B3", 5, 1, 3, 0, kTooOld, 7},
        CheckCase{"ProgramVersionBelowMinimum", Op::kProgram, kSerial, 5, 3, 0, "S01A2B3", 5, 1, 3, 0, kTooOld, 7},
        CheckCase{"MinimumHighAboveDevice", Op::kProgramDirect, kSerial, 5, 3, 9, "S01A2B3", 5, 0, 4, 0, kTooOld, 7},
        CheckCase{"MinimumBelowHigh", Op::kProgramDirect, kSerial, 5, 3, 0, "S01A2B3", 5, 9, 2, 1, nullptr, 0},
        CheckCase{"MinimumEqual", Op::kProgramDirect, kSerial, 5, 3, 0, "S01A2B3", 5, 0, 3, 1, nullptr, 0},
        // Minimums are signed 16-bit: 0xFFFF is -1.
        CheckCase{"NegativeMinimum", Op::kProgramDirect, kSerial, 5, 0, 0, "S01A2B3", 5, 0xFFFF, 0, 1, nullptr, 0},
        CheckCase{"Product201SkipsTheCheck", Op::kProgramDirect, 0x0BAD00, 6, 3, 0, "S01A2B3", 201, 0, 9, 1, nullptr,
                  0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Download, Product201SkipsIdentification) {
  struct Row {
    Op op;
    bool alternating;  // Program sends in normal mode; ProgramDirect takes 201's low byte
  };
  for (const Row& row : {Row{Op::kProgram, false}, Row{Op::kProgramDirect, true}}) {
    Rig rig;
    sim::Device& device = rig.AddDevice(row.op == Op::kProgram ? 0 : kTarget, kSerial, 5, 2, 0);
    const Bytes program = ProgramBytes(18);
    const int32_t result = row.op == Op::kProgram
                               ? Program(rig.ctx, "S01A2B3", kTarget, 201, 0, 0, program.data(), 18)
                               : ProgramDirect(rig.ctx, "S01A2B3", kTarget, 201, 0, 0, program.data(), 18);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(CommandsOf(device, Command::kIdentify).empty());
    const std::vector<Bytes> body = BodyFrames(rig);
    ASSERT_EQ(body.size(), 3u);
    EXPECT_EQ((body[1][3] & link::kAlternationBit) != 0, row.alternating);
    EXPECT_EQ(device.program().bytes, program);
  }
}

// --- failures during the download ----------------------------------------------------

TEST(Program, FailedTransferStillRestartsAndEndsWith1AndCode3) {
  Rig rig;
  sim::Device& device = rig.AddDevice(0, kSerial, 5, 2, 0);
  rig.onProgress = [&](const ProgressEvent& e) {
    if (e.text == "Programming...") device.faults.silent = true;
  };
  const Bytes program = ProgramBytes(30);
  EXPECT_EQ(Program(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 30), 1);
  EXPECT_EQ(rig.ctx.services.lastProgramError, 3);
  ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "Cannot send data over the network, permanent failure");
  EXPECT_EQ(device.reboots(), 1);
  EXPECT_EQ(rig.programDone, 1);
  ASSERT_GE(rig.progress.size(), 2u);
  EXPECT_EQ(rig.progress[rig.progress.size() - 2], (ProgressEvent{100, "Restarting devices..."}));
  EXPECT_EQ(rig.progress.back(), (ProgressEvent{0, ""}));
  ExpectSwitchesCleared(rig.ctx);
}

TEST(Program, TransferBusyThreeTimesIsCode8) {
  Rig rig;
  sim::Device& device = rig.AddDevice(0, kSerial, 5, 2, 0);
  config::SetNoErrMsgBox(rig.ctx, 1);
  rig.onProgress = [&](const ProgressEvent& e) {
    if (e.text == "Programming...") rig.MakeChannelBusy();
  };
  // The busy report reaches the client during the restart's first pause.
  rig.onError = [&](const ErrorEvent&) { rig.FreeChannel(); };
  const Bytes program = ProgramBytes(30);
  EXPECT_EQ(Program(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 30), 1);
  EXPECT_EQ(rig.ctx.services.lastProgramError, 8);
  EXPECT_EQ(rig.errors, (std::vector<ErrorEvent>{{3, "Cannot send data over the network, channel is busy"}}));
  EXPECT_TRUE(BodyFrames(rig).empty());
  EXPECT_EQ(device.reboots(), 1);
  EXPECT_EQ(rig.programDone, 1);
}

TEST(ProgramDirect, TransferBusyThreeTimesIsCode8AndResult0) {
  Rig rig;
  rig.AddDevice(kTarget, kSerial, 5, 2, 0);
  rig.onProgress = [&](const ProgressEvent& e) {
    if (e.text == "Programming...") rig.MakeChannelBusy();
  };
  const Bytes program = ProgramBytes(30);
  EXPECT_EQ(ProgramDirect(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 30), 0);
  rig.FreeChannel();
  EXPECT_EQ(rig.ctx.services.lastProgramError, 8);
  ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "Cannot send data over the network, channel still busy");
  EXPECT_EQ(rig.progress.back(), (ProgressEvent{100, "...program sent"}));
  ExpectSwitchesCleared(rig.ctx);
}

TEST(Program, StopNotSentEndsWithCode3) {
  Rig rig({}, false);
  sim::Device& device = rig.AddDevice(0, kSerial, 5, 2, 0);
  rig.MakeChannelBusy();
  const Bytes program = ProgramBytes(12);
  EXPECT_EQ(Program(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 12), 0);
  rig.FreeChannel();
  EXPECT_EQ(rig.ctx.services.lastProgramError, 3);
  ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "Cannot send data over the network, channel still busy");
  EXPECT_TRUE(device.commands().empty());
  EXPECT_EQ(rig.progress, (std::vector<ProgressEvent>{{0, "Stopping devices..."}}));
  EXPECT_EQ(IsOpen(rig.ctx), 0);
  ExpectSwitchesCleared(rig.ctx);
}

TEST(ProgramDirect, CommitNotAcknowledgedRestartsQuietlyWithCode3) {
  Rig rig;
  sim::Device& device = rig.AddDevice(kTarget, kSerial, 5, 2, 0);
  rig.onProgress = [&](const ProgressEvent& e) {
    if (e.text == "Sending program to device...") device.faults.silent = true;
  };
  const Bytes program = ProgramBytes(12);
  EXPECT_EQ(ProgramDirect(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 12), 0);
  EXPECT_EQ(rig.ctx.services.lastProgramError, 3);
  ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "Cannot send data over the network");
  EXPECT_EQ(device.reboots(), 1);  // the quiet restart
  EXPECT_TRUE(BodyFrames(rig).empty());
}

TEST(ProgramDirect, CompletedDownloadLeavesThePortOpen) {
  Rig rig({}, false);
  sim::Device& device = rig.AddDevice(kTarget, kSerial, 5, 0, 1);
  const Bytes program = ProgramBytes(12);
  EXPECT_EQ(ProgramDirect(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 12), 1);
  EXPECT_EQ(IsOpen(rig.ctx), 1);
  EXPECT_EQ(device.program().bytes, program);
  EXPECT_EQ(device.program().status, sim::ProgramStatus::kOk);
  EXPECT_EQ(device.reboots(), 0);
  EXPECT_TRUE(CommandsOf(device, Command::kStop).empty());
  EXPECT_EQ(rig.programDone, 0);
  EXPECT_EQ(rig.progress, (std::vector<ProgressEvent>{{0, "Checking device..."},
                                                      {0, "Sending program to device..."},
                                                      {0, "Programming..."},
                                                      {0, ""},
                                                      {50, ""},
                                                      {100, "...program sent"}}));
  ExpectSwitchesCleared(rig.ctx);
}

// Without an answer the identity is all zeros; a device S000000 of product
// 0 must not pass the check on them.
TEST(ProgramDirect, IdentifiesOnceAndNeverChecksAMissingAnswer) {
  Rig rig;
  sim::Device& device = rig.AddDevice(kTarget, 0x000000, 0, 0, 0);
  device.faults.wrongSourceReplies = -1;
  device.faults.wrongSource = 99;
  const Bytes program = ProgramBytes(12);
  EXPECT_EQ(ProgramDirect(rig.ctx, "S000000", kTarget, 0, 0, 0, program.data(), 12), 0);
  EXPECT_EQ(CommandsOf(device, Command::kIdentify).size(), 4u);  // one identification of four requests
  EXPECT_EQ(rig.ctx.services.lastProgramError, 4);
  EXPECT_TRUE(CommandsOf(device, Command::kCommitProgram).empty());
}

// The transmitter's busy answer (2) must not be announced as the checksum.
TEST(ProgramDirect, ChecksumPassWaitsForAFreeChannel) {
  Rig rig;
  sim::Device& device = rig.AddDevice(kTarget, kSerial, 5, 2, 0);
  rig.onProgress = [&](const ProgressEvent& e) {
    if (e.text == "Sending program to device...") {
      rig.MakeChannelBusy();
      rig.Later([&] { rig.FreeChannel(); });
    }
  };
  const Bytes program = ProgramBytes(40);
  EXPECT_EQ(ProgramDirect(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 40), 1);
  EXPECT_EQ(device.program().status, sim::ProgramStatus::kOk);
  EXPECT_EQ(device.program().announcedChecksum, device.program().checksumSum);
}

TEST(ProgramDirect, ChannelBusyThroughTheChecksumPassIsCode3) {
  Rig rig;
  sim::Device& device = rig.AddDevice(kTarget, kSerial, 5, 2, 0);
  rig.onProgress = [&](const ProgressEvent& e) {
    if (e.text == "Sending program to device...") rig.MakeChannelBusy();
  };
  const Bytes program = ProgramBytes(40);
  EXPECT_EQ(ProgramDirect(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 40), 0);
  rig.FreeChannel();
  EXPECT_EQ(rig.ctx.services.lastProgramError, 3);
  EXPECT_TRUE(CommandsOf(device, Command::kCommitProgram).empty());
  ASSERT_FALSE(rig.fx.boxes.boxes().empty());
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "Cannot send data over the network, channel still busy");
}

// NoAck and AwaitedResponseCode as each progress report sees them.
struct Switches {
  int32_t noAck;
  uint8_t awaited;
  bool operator==(const Switches&) const = default;
};

TEST(Program, SwitchesFollowTheDownload) {
  Rig rig;
  rig.AddDevice(0, kSerial, 5, 2, 0);
  std::vector<std::pair<ProgressEvent, Switches>> seen;
  rig.onProgress = [&](const ProgressEvent& e) {
    seen.push_back({e, {rig.ctx.core.switches.noAck, rig.ctx.transact.awaitedResponseCode}});
  };
  const Bytes program = ProgramBytes(12);
  ASSERT_EQ(Program(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 12), 1);
  const std::vector<std::pair<ProgressEvent, Switches>> expected = {
      {{0, "Stopping devices..."}, {1, 0}},  {{0, "Stopping devices..."}, {1, 0}},
      {{10, "Stopping devices..."}, {1, 0}}, {{20, "Stopping devices..."}, {1, 0}},
      {{30, "Stopping devices..."}, {1, 0}}, {{50, "Searching device..."}, {1, 0}},
      {{60, "Searching device..."}, {0, 0}}, {{70, "Sending program to device..."}, {0, 0}},
      {{80, "Programming..."}, {0, 0}},      {{0, ""}, {0, 244}},
      {{50, ""}, {0, 244}},                  {{100, "Restarting devices..."}, {0, 0}},
      {{0, ""}, {0, 0}}};
  EXPECT_EQ(seen, expected);
}

TEST(ProgramDirect, SwitchesAreOnOnlyForTheTransfer) {
  Rig rig;
  rig.AddDevice(kTarget, kSerial, 5, 2, 0);
  std::vector<Switches> perFrame;
  std::map<std::string, Switches> seen;
  rig.onProgress = [&](const ProgressEvent& e) {
    const Switches now{rig.ctx.core.switches.noAck, rig.ctx.transact.awaitedResponseCode};
    if (e.text.empty()) perFrame.push_back(now);
    else seen[e.text] = now;
  };
  const Bytes program = ProgramBytes(12);
  ASSERT_EQ(ProgramDirect(rig.ctx, "S01A2B3", kTarget, 5, 0, 0, program.data(), 12), 1);
  EXPECT_EQ(perFrame, (std::vector<Switches>{{1, 244}, {1, 244}}));
  const std::map<std::string, Switches> expected = {{"Checking device...", {0, 0}},
                                                    {"Sending program to device...", {0, 0}},
                                                    {"Programming...", {0, 0}},
                                                    {"...program sent", {0, 0}}};
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace zeva::services_test
