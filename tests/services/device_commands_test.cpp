// Device commands and the bus restart over the simulated bus.
#include <gtest/gtest.h>

#include "core/config.h"
#include "link/frame.h"
#include "runtime/port.h"
#include "service_rig.h"
#include "services/device_commands.h"

namespace zeva::services_test {
namespace {

using sim::Command;

constexpr uint32_t kBusyMs = 300;
// A pause ends at the first tick past its deadline.
constexpr uint32_t kBusyPauseMs = kBusyMs + 1;

struct CommandCase {
  const char* name;
  int32_t (*command)(services::ServiceState&, int32_t);
  int32_t address;
  Command heard;
  Bytes data;           // what the device heard (reset: byte 0 is the code)
  bool acknowledged;    // the device acknowledged the frame
  bool shortFrame;      // the type-6 command frame
};

class Commands : public ::testing::TestWithParam<CommandCase> {};

TEST_P(Commands, ReachTheDeviceAsTheirFrame) {
  const CommandCase& c = GetParam();
  Rig rig;
  sim::Device& device = rig.AddDevice(5);
  EXPECT_EQ(c.command(rig.ctx, c.address), 1);
  const std::vector<sim::CommandRecord> heard = CommandsOf(device, c.heard);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].destination, c.address);
  EXPECT_EQ(Bytes(heard[0].data.begin(), heard[0].data.end()), c.data);
  EXPECT_EQ(device.acks_sent(), c.acknowledged ? 1 : 0);
  const std::vector<WireFrame> sent = rig.WireFrames(sim::TalkerKind::kHost);
  ASSERT_EQ(sent.size(), 1u);
  if (c.shortFrame) {
    EXPECT_EQ(sent[0].bytes.size(), static_cast<size_t>(link::ShortFrameSize(2)));
    EXPECT_EQ(link::ControlType(sent[0].bytes[3]), 6);
  } else {
    // Unacknowledged frames say so with bits 3 and 4.
    EXPECT_EQ((sent[0].bytes[3] & link::kNoAckWanted) == link::kNoAckWanted, !c.acknowledged);
  }
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
}

const Bytes kReboot = {0, 0, 0, 0, 0, 254};
const Bytes kStop = {0x37, 0, 0, 0, 0, 254};
const Bytes kClear = {0, 0, 0, 0, 0, 252};
const Bytes kReset = {1, 0, 0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    DeviceCommand, Commands,
    ::testing::Values(CommandCase{"Reboot", &Reboot, 5, Command::kReboot, kReboot, false, false},
                      CommandCase{"RebootAll", &Reboot, 0, Command::kReboot, kReboot, false, false},
                      CommandCase{"Stop", &Stop, 5, Command::kStop, kStop, false, false},
                      CommandCase{"StopAll", &Stop, 0, Command::kStop, kStop, false, false},
                      CommandCase{"ClearRemoteError", &ClearRemoteError, 5, Command::kClearError, kClear, true, false},
                      CommandCase{"ClearRemoteErrorAll", &ClearRemoteError, 0, Command::kClearError, kClear, false,
                                  false},
                      CommandCase{"ResetComm", &ResetComm, 5, Command::kResetComm, kReset, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceCommand, ClosedPortSendsNothingAndReportsNothing) {
  for (auto command : {&Reboot, &Stop, &ClearRemoteError, &ResetComm}) {
    Rig rig({}, false);
    rig.AddDevice(5);
    config::SetNoErrMsgBox(rig.ctx, 1);
    EXPECT_EQ(command(rig.ctx, 5), 0);
    rig.RunMs(10);
    EXPECT_TRUE(rig.NothingSent());
    EXPECT_TRUE(rig.errors.empty());
    EXPECT_TRUE(rig.fx.boxes.boxes().empty());
  }
}

TEST(DeviceCommand, BufferCommandsWithoutTheirBufferOrTargetAreNotSent) {
  Rig rig;
  rig.AddDevice(5);
  const uint8_t buffer[6] = {1, 2, 3, 0, 9, 0};
  EXPECT_EQ(DeviceCommand(rig.ctx, 0, DC_ASSIGN_ADDRESS, nullptr, Quiet::kNo), 0);
  EXPECT_EQ(DeviceCommand(rig.ctx, 5, DC_COMMIT_PROGRAM, nullptr, Quiet::kNo), 0);
  EXPECT_EQ(DeviceCommand(rig.ctx, 0x10000, DC_COMMIT_PROGRAM, buffer, Quiet::kNo), 0);  // low 16 bits 0
  EXPECT_TRUE(rig.NothingSent());
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
}

struct BusyCase {
  const char* name;
  Quiet quiet;
  int32_t noErrMsgBox;
  size_t boxes;
  std::vector<ErrorEvent> events;
};

class BusyCommands : public ::testing::TestWithParam<BusyCase> {};

TEST_P(BusyCommands, FourBusyAnswersGiveFourPausesAndError3) {
  const BusyCase& c = GetParam();
  Rig rig;
  rig.AddDevice(5);
  config::SetNoErrMsgBox(rig.ctx, c.noErrMsgBox);
  rig.MakeChannelBusy();
  const uint64_t start = rig.NowUs();
  EXPECT_EQ(DeviceCommand(rig.ctx, 5, DC_CLEAR_REMOTE_ERROR, nullptr, c.quiet), 0);
  EXPECT_EQ(rig.ElapsedMsSince(start), 4 * kBusyPauseMs);
  rig.FreeChannel();
  rig.RunMs(1);
  EXPECT_TRUE(rig.NothingSent());
  ASSERT_EQ(rig.fx.boxes.boxes().size(), c.boxes);
  if (c.boxes > 0) {
    EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "Cannot send data over the network, channel still busy");
    EXPECT_EQ(rig.fx.boxes.boxes()[0].caption, "JV ZEVA COM driver");
  }
  EXPECT_EQ(rig.errors, c.events);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceCommand, BusyCommands,
    ::testing::Values(BusyCase{"Box", Quiet::kNo, 0, 1, {}},
                      BusyCase{"Event", Quiet::kNo, 1, 0, {{3, "Cannot send data over the network, channel is busy"}}},
                      BusyCase{"Quiet", Quiet::kYes, 0, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceCommand, BusyAnswerThenSuccessIsNotReported) {
  Rig rig;
  sim::Device& device = rig.AddDevice(5);
  rig.MakeChannelBusy();
  rig.Later([&] { rig.FreeChannel(); });
  const uint64_t start = rig.NowUs();
  EXPECT_EQ(Reboot(rig.ctx, 5), 1);
  EXPECT_GE(rig.ElapsedMsSince(start), kBusyMs);
  EXPECT_LT(rig.ElapsedMsSince(start), 2 * kBusyMs);
  EXPECT_EQ(CommandsOf(device, Command::kReboot).size(), 1u);
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
}

TEST(DeviceCommand, UnacknowledgedFrameIsError2) {
  Rig rig;
  rig.AddDevice(5).faults.silent = true;
  EXPECT_EQ(ClearRemoteError(rig.ctx, 5), 0);
  ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "Cannot send data over the network");
  EXPECT_EQ(rig.HostDataFrames().size(), 5u);  // five attempts
}

// --- restart -------------------------------------------------------------------

TEST(Restart, ClearsThenRebootsEveryDeviceAndKeepsTheOpenPortOpen) {
  Rig rig;
  sim::Device& a = rig.AddDevice(5);
  sim::Device& b = rig.AddDevice(9, 0x000042);
  EXPECT_EQ(Restart(rig.ctx), 1);
  EXPECT_EQ(IsOpen(rig.ctx), 1);
  for (const sim::Device* d : {&a, &b}) {
    ASSERT_EQ(d->commands().size(), 2u);
    EXPECT_EQ(d->commands()[0].command, Command::kClearError);
    EXPECT_EQ(d->commands()[1].command, Command::kReboot);
    EXPECT_EQ(d->commands()[0].destination, 0);
    EXPECT_GE(d->commands()[1].timeUs - d->commands()[0].timeUs, 300000u);
  }
}

TEST(Restart, ClosedPortIsOpenedForTheRestartAndClosedAgain) {
  Rig rig({}, false);
  sim::Device& device = rig.AddDevice(5);
  EXPECT_EQ(Restart(rig.ctx), 1);
  EXPECT_EQ(IsOpen(rig.ctx), 0);
  EXPECT_EQ(device.reboots(), 1);
}

TEST(Restart, PortThatDoesNotOpenIsError6AndStaysClosed) {
  Rig rig;
  rig.fx.platform.DetachLine(rig.ctx.core.settings.port);
  rig.fx.boxes.clear();
  EXPECT_EQ(Restart(rig.ctx), 0);
  EXPECT_EQ(IsOpen(rig.ctx), 0);
  ASSERT_FALSE(rig.fx.boxes.boxes().empty());
  EXPECT_EQ(rig.fx.boxes.boxes().back().text, "Can't open device communication channel");
}

TEST(Restart, FailedClearCommandSendsNoRebootAndIsError5) {
  Rig rig;
  sim::Device& device = rig.AddDevice(5);
  rig.MakeChannelBusy();  // the port's reopening leaves the flags as they are
  EXPECT_EQ(Restart(rig.ctx), 0);
  rig.FreeChannel();
  EXPECT_TRUE(device.commands().empty());
  // The commands went quietly: only the restart's own report is shown.
  ASSERT_EQ(rig.fx.boxes.boxes().size(), 1u);
  EXPECT_EQ(rig.fx.boxes.boxes()[0].text, "Cannot restart devices");
  EXPECT_EQ(IsOpen(rig.ctx), 1);
}

TEST(RestartDevices, ClosesThePortAfterwardsWhenAskedEvenOnFailure) {
  Rig rig;
  rig.AddDevice(5);
  rig.MakeChannelBusy();
  EXPECT_EQ(RestartDevices(rig.ctx, PortAfter::kClosed, Quiet::kYes), 0);
  rig.FreeChannel();
  EXPECT_EQ(IsOpen(rig.ctx), 0);
  EXPECT_TRUE(rig.fx.boxes.boxes().empty());
}

}  // namespace
}  // namespace zeva::services_test
