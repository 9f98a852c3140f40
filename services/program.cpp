#include "services/program.h"

#include "core/int16.h"
#include "core/scoped_mode.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "services/device_commands.h"
#include "services/identify.h"
#include "services/service_common.h"
#include "transact/transmitter.h"

namespace zeva {
namespace {

using namespace services;

constexpr const char* kStopping = "Stopping devices...";
constexpr const char* kSearching = "Searching device...";
constexpr const char* kChecking = "Checking device...";
constexpr const char* kSendingProgram = "Sending program to device...";
constexpr const char* kProgramming = "Programming...";
constexpr const char* kRestarting = "Restarting devices...";
constexpr const char* kProgramSent = "...program sent";

// The commit command carries the length in 16 bits.
constexpr int32_t kLongestProgram = 0xFFFF;
constexpr uint8_t kProgramBodyType = 2;
constexpr uint8_t kProgramResponseCode = 244;
// Product codes above this are special builds that are not identified.
constexpr int16_t kLastCheckedProduct = 200;
constexpr int32_t kStopCommands = 4;
constexpr int32_t kTargetAttempts = 11;
constexpr int32_t kTransferCalls = 3;
constexpr uint32_t kSettleMs = 1000;
constexpr uint32_t kCommitPauseMs = 200;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A bad call is always shown as a box, whatever NoErrMsgBox says: the
// program calling is wrong, not the bus.
void ShowBadCall(const services::ServiceState& ctx, const char* text) { ctx.core.platform.ShowBox(text, kDriverCaption, MB_ICONERROR); }

// One device, never everyone (0) nor this station, and an address a device
// can be reached at again.
bool DeviceAddress(const services::ServiceState& ctx, int32_t address) {
  const int16_t a = Low16(address);
  return IsBusAddress(address) && a != 0 && a != ctx.core.settings.localAddress;
}

bool CallAccepted(const services::ServiceState& ctx, const char* serialText, int32_t address) {
  if (DeviceAddress(ctx, address) && serialText != nullptr && serialText[0] == 'S') return true;
  ShowBadCall(ctx, kTextBadAddressCall);
  return false;
}

bool ProgramAccepted(const services::ServiceState& ctx, const uint8_t* data, int32_t length) {
  if (length >= 0 && length <= kLongestProgram && (data != nullptr || length == 0)) return true;
  ShowBadCall(ctx, kTextBadProgramCall);
  return false;
}

// Acknowledgements are off while the devices are stopped, addressed or sent
// a program directly, and on afterwards, whatever the client had set.
class AcksOff : public ScopedMode<int32_t> {
 public:
  explicit AcksOff(services::ServiceState& ctx) : ScopedMode(ctx.core.switches.noAck, 1, 0) {}
};

// What all three operations share: the target, the port reopened (with
// acknowledgements off), and how the port is left.
class Session {
 public:
  Session(services::ServiceState& ctx, const char* serialText, int32_t address)
      : ctx_(ctx), serialText_(serialText), address_(address) {}

  // Closes and reopens the port; false (reported) when it did not open.
  bool Open() {
    serial_ = ParseSerialText(serialText_);
    wasOpen_ = IsOpen(ctx_) != 0;
    return ReopenPort(ctx_);
  }

  void CloseIfWasClosed() {
    if (!wasOpen_) CloseCOM(ctx_);
  }

  // Sent to everyone: the device whose serial code matches takes the address.
  bool AssignAddress() {
    const uint8_t buffer[6] = {static_cast<uint8_t>(serial_ >> 16), static_cast<uint8_t>(serial_ >> 8),
                               static_cast<uint8_t>(serial_), 0, Low8(address_), 0};
    return DeviceCommand(ctx_, 0, DC_ASSIGN_ADDRESS, buffer, Quiet::kNo) != 0;
  }

  void Progress(int32_t value, const char* text) { Notify(ctx_, &ClientCallbacks::onProgress, value, text); }

 protected:
  services::ServiceState& ctx_;
  const char* serialText_;
  int32_t address_;
  uint32_t serial_ = 0;
  bool wasOpen_ = false;
};

class Download : public Session {
 public:
  Download(services::ServiceState& ctx, const char* serialText, int32_t address, int32_t product, int32_t minLow,
           int32_t minHigh, const uint8_t* data, int32_t length)
      : Session(ctx, serialText, address), product_(Low16(product)), minLow_(Low16(minLow)),
        minHigh_(Low16(minHigh)), data_(data), length_(length) {}

  int32_t RunProgram() {
    if (!Accepted() || !StopAndAddress()) return 0;
    Progress(60, kSearching);
    Pause(ctx_, kSettleMs);
    const bool checked = product_ <= kLastCheckedProduct;
    if (checked && !AwaitTarget()) {
      NoAnswer();
      return 0;
    }
    Progress(70, kSendingProgram);
    uint8_t selector = 0;
    if (checked && !CheckTarget(&selector)) return 0;
    if (!Announce(selector)) return AbandonAnnounced();
    Progress(80, kProgramming);
    Transfer(selector);  // a failure is reported and recorded; the bus is restarted all the same
    Progress(100, kRestarting);
    if (RestartDevices(ctx_, PortAfterwards(), Quiet::kNo) == 0) return Fail(kProgramErrorCommunication);
    Progress(0, "");
    Notify(ctx_, &ClientCallbacks::onProgramDone);
    return 1;
  }

  int32_t RunProgramDirect() {
    if (!Accepted()) return 0;
    {
      const AcksOff acksOff(ctx_);
      if (!OpenPort()) return 0;
    }
    Progress(0, kChecking);
    uint8_t selector = Low8(product_);
    if (product_ <= kLastCheckedProduct && !CheckTarget(&selector)) return 0;
    Progress(0, kSendingProgram);
    if (!Announce(selector)) return AbandonAnnounced();
    Progress(0, kProgramming);
    bool sent = false;
    {
      const AcksOff acksOff(ctx_);
      sent = Transfer(selector);
    }
    Progress(100, kProgramSent);
    return sent ? 1 : 0;
  }

 private:
  bool Accepted() {
    ctx_.lastProgramError = kProgramErrorNone;
    if (CallAccepted(ctx_, serialText_, address_) && ProgramAccepted(ctx_, data_, length_)) return true;
    ctx_.lastProgramError = kProgramErrorBadCall;
    return false;
  }

  // Closes and reopens the port; false (recorded) when it did not open.
  bool OpenPort() {
    if (Open()) return true;
    ctx_.lastProgramError = kProgramErrorPort;
    return false;
  }

  // Opens the port, stops every device and gives the target its address.
  bool StopAndAddress() {
    const AcksOff acksOff(ctx_);
    if (!OpenPort()) return false;
    Progress(0, kStopping);
    for (int32_t j = 0; j < kStopCommands; ++j) {
      if (DeviceCommand(ctx_, 0, DC_STOP, nullptr, Quiet::kNo) == 0) return Abandon(kProgramErrorCommunication);
      Progress(10 * j, kStopping);
    }
    Pause(ctx_, kSettleMs);
    Progress(50, kSearching);
    return AssignAddress() || Abandon(kProgramErrorCommunication);
  }

  PortAfter PortAfterwards() const { return wasOpen_ ? PortAfter::kLeft : PortAfter::kClosed; }

  int32_t Fail(int32_t code) {
    ctx_.lastProgramError = code;
    return 0;
  }

  bool Abandon(int32_t code) {
    CloseIfWasClosed();
    Fail(code);
    return false;
  }

  // The devices may have taken the announcement: restarting them all puts
  // every device back into its program.
  int32_t AbandonAnnounced() {
    RestartDevices(ctx_, PortAfterwards(), Quiet::kYes);
    return Fail(kProgramErrorCommunication);
  }

  // The target is not fit for the download: said, recorded, and the port
  // left as it was found. Always false.
  bool Refuse(int32_t errorCode, const char* text, int32_t programError) {
    ReportDriverError(ctx_, errorCode, text, false);
    CloseIfWasClosed();
    Fail(programError);
    return false;
  }

  bool NoAnswer() { return Refuse(kErrNoResponse, kTextNoResponse, kProgramErrorNoAnswer); }

  // A freshly addressed device may take a while before it answers.
  bool AwaitTarget() {
    for (int32_t attempt = 1;; ++attempt) {
      if (IdentifyDevice(ctx_, address_, InfoCallback::kNone, SendFailures::kPosted, nullptr) != 0) return true;
      if (attempt == kTargetAttempts) return false;
      Pause(ctx_, kSettleMs);
    }
  }

  // Identifies the target and checks it against the program. The version
  // selector is the device's version high number.
  bool CheckTarget(uint8_t* selector) {
    DeviceIdentity id;
    // Without an answer the identity bytes are zeros, which must not pass
    // for a device with serial code S000000.
    if (IdentifyDevice(ctx_, address_, InfoCallback::kNone, SendFailures::kPosted, id.bytes) == 0) return NoAnswer();
    if (id.serial() != serial_) return Refuse(kErrSerialMismatch, kTextSerialMismatch, kProgramErrorSerialMismatch);
    if (id.product() != product_) return Refuse(kErrWrongProduct, kTextWrongProduct, kProgramErrorWrongProduct);
    const int16_t high = id.versionHigh();
    const int16_t low = id.versionLow();
    if (high < minHigh_ || (high == minHigh_ && low < minLow_)) {
      return Refuse(kErrVersionTooLow, kTextVersionTooLow, kProgramErrorVersionTooLow);
    }
    *selector = id.versionHigh();
    return true;
  }

  static TransmitMode ModeOf(uint8_t selector) { return selector != 0 ? kModeAlternating : kModeNormal; }

  OutgoingMessage Body() const {
    return {.destination = Low8(address_), .type = kProgramBodyType, .data = data_,
            .length = static_cast<uint16_t>(length_)};
  }

  // Tells the target the length and checksum of the program about to come.
  // The checksum pass waits for a free channel as a command would.
  bool Announce(uint8_t selector) {
    const ChecksumPass checksum = RetryWhileBusy(
        ctx_, [&] { return SumFrameChecksums(ctx_, Body(), ModeOf(selector)); },
        [](const ChecksumPass& pass) { return RetryIfBusy(pass.status); });
    if (checksum.status == kTxBusy) {
      ReportDriverError(ctx_, kErrChannelBusy, kTextChannelBusy, false);
      return false;
    }
    const uint8_t commit[6] = {Low8(length_), Low8(length_ >> 8), checksum.sum, 0, Low8(address_), 0};
    Pause(ctx_, kCommitPauseMs);
    return DeviceCommand(ctx_, address_, DC_COMMIT_PROGRAM, commit, Quiet::kNo) != 0;
  }

  // Sends the program body. A device with a version high number above 0
  // takes it in alternating mode and answers each frame with code 244.
  bool Transfer(uint8_t selector) {
    const TransmitOptions options{.mode = ModeOf(selector),
                                  .programming = true,
                                  .awaitedResponse = selector != 0 ? kProgramResponseCode : uint8_t{0}};
    const TransmitResult result = RetryWhileBusy(
        ctx_, [&] { return TransmitMessage(ctx_, Body(), options); }, RetryIfBusy, kTransferCalls - 1);
    if (result == kTxDone) return true;
    if (result == kTxBusy) {
      ReportDriverError(ctx_, kErrChannelBusy, kTextChannelBusy, false);
      ctx_.lastProgramError = kProgramErrorChannelBusy;
    } else {
      ReportDriverError(ctx_, kErrPermanentFailure, kTextPermanentFailure, false);
      ctx_.lastProgramError = kProgramErrorCommunication;
    }
    return false;
  }

  int16_t product_;
  int16_t minLow_;
  int16_t minHigh_;
  const uint8_t* data_;
  int32_t length_;
};

}  // namespace

namespace services {

uint32_t ParseSerialText(const char* text) {
  uint32_t serial = 0;
  if (text == nullptr) return serial;
  for (int i = 1; i <= 6 && text[i] != '\0'; ++i) {
    const int digit = HexDigit(text[i]);
    if (digit >= 0) serial = serial << 4 | static_cast<uint32_t>(digit);
  }
  return serial;
}

}  // namespace services

int32_t SetAddrID(services::ServiceState& ctx, const char* serialText, int32_t address, int32_t percentage) {
  if (!CallAccepted(ctx, serialText, address)) return 0;
  Session session(ctx, serialText, address);
  bool sent = false;
  {
    const AcksOff acksOff(ctx);
    if (!session.Open()) return 0;
    session.Progress(percentage, kSearching);
    sent = session.AssignAddress();
  }
  session.CloseIfWasClosed();
  return sent ? 1 : 0;
}

int32_t Program(services::ServiceState& ctx, const char* serialText, int32_t address, int32_t product, int32_t minLow,
                int32_t minHigh, const uint8_t* data, int32_t length) {
  return Download(ctx, serialText, address, product, minLow, minHigh, data, length).RunProgram();
}

int32_t ProgramDirect(services::ServiceState& ctx, const char* serialText, int32_t address, int32_t product,
                      int32_t minLow, int32_t minHigh, const uint8_t* data, int32_t length) {
  return Download(ctx, serialText, address, product, minLow, minHigh, data, length).RunProgramDirect();
}

}  // namespace zeva
