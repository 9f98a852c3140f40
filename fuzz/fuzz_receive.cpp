// libFuzzer target for the receive loop and the dispatcher, end to end: the
// whole driver over the deterministic test platform, a client call pending
// (a query, an identification, a remote error report, a message send, a
// program download, the bus map or just an idle wait; then possibly a second
// one) while the line hands the host whatever the input says.
//
// Input: a seven-byte header, then a script of line operations.
//   byte 0: bits 0-2 the call (0 idle, 1 Query, 2 GetFirmwareInfo,
//           3 GetRemoteError, 4 SendData, 5 Send, 6 ProgramDirect to the
//           device S01A2B3 of product 5, 7 MakeMap); bits 3-4 SendData
//           mode; bits 5-7 message type
//   byte 1: bit 0 protocol 1 (else 2), bit 1 spy, bit 2 automatic reply,
//           bit 3 no acknowledgements, bit 4 echo check, bit 5 the line
//           echoes every write at once, bit 6 the data callback answers
//           (twice at most: SendData, Query, or a raw send of a whole frame
//           or of bare bytes, chosen by the frame's first data byte), bit 7
//           a response code is awaited
//   byte 2: the station asked (bit 7: address 0, anyone)
//   byte 3: local address (low 7 bits, 0 taken as 1)
//   byte 4: SendData and program length (0 to 31), response code when
//           awaited
//   byte 5: packet timeout step (timeouts of 1 to 128 ms)
//   byte 6: a second call made after the first, laid out like byte 0
//           (call 0: none)
// Script: one operation byte, kind in bits 0-2 and argument in bits 3-7,
// followed by its operands:
//   0 raw bytes: argument + 1 bytes from the input, as they are
//   1 pause: argument 0 waits for a host data frame not waited for yet;
//     otherwise the line is quiet for argument^2 * 0.4 ms
//   2 a valid data frame: destination, source, control, six data bytes
//   3 the acknowledgement of the host's last data frame
//   4 the echo of what the host wrote since the last echo; an odd argument
//     damages its last byte
//   5 a valid short frame: destination, source, control
//   6 a line error; argument 31 hangs the line up
//   7 an answer to the host's last data frame: control from the argument
//     (type in bits 0-2, count 6), six data bytes from the input
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <vector>

#include "core/config.h"
#include "api/driver_context.h"
#include "api/lifecycle.h"
#include "link/frame.h"
#include "platform/testing/test_platform.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "runtime/wait.h"
#include "services/identify.h"
#include "services/program.h"
#include "services/query.h"
#include "services/remote_error.h"
#include "transact/send.h"
#include "transact/request_table.h"

namespace {

using namespace zeva;

#define FUZZ_CHECK(condition)           \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (0)

constexpr size_t kHeader = 7;
// Far beyond the longest legitimate call (five attempts with their pauses,
// busy retries, a five-second response wait per frame); a call still running
// after this much virtual time is taken for a hang.
constexpr uint64_t kMaxVirtualUs = 30ull * 60 * 1000 * 1000;

constexpr uint64_t kTurnaroundUs = 1000;  // a device's pause before it answers

// The line: runs the input's script against what the host writes.
class ScriptLine : public testing::VirtualLine {
 public:
  ScriptLine(const uint8_t* script, size_t size, int32_t protocol, bool autoReply)
      : at_(script), end_(script + size), protocol_(protocol), autoReply_(autoReply) {}

  // From now on a wait for a host write does not hold the script up.
  void Drain() {
    draining_ = true;
    blocked_ = false;
  }
  // Nothing more will reach the host.
  bool Done() const { return hangUpReported_ || (at_ == end_ && toHost_.empty()); }
  bool hungUp() const { return hungUp_; }

  void HostWrite(const uint8_t* bytes, size_t n, uint64_t nowUs) override {
    if (hungUp_) return;
    unechoed_.insert(unechoed_.end(), bytes, bytes + n);
    if (autoReply_) {
      for (size_t i = 0; i < n; ++i) toHost_.emplace_back(nowUs, bytes[i]);
      unechoed_.clear();
    }
    // Only data frames are waited for and answered; the host's own
    // acknowledgements go by.
    if (n != link::kDataFrameSize || bytes[0] != link::kStartByte) return;
    hostDestination_ = bytes[1];
    hostSource_ = bytes[2];
    ++writes_;
    lastWriteUs_ = nowUs;
    if (blocked_) {
      blocked_ = false;
      writesSeen_ = writes_;
      nextUs_ = nowUs + kTurnaroundUs;
    }
  }

  std::optional<uint64_t> NextEventUs() override {
    std::optional<uint64_t> next;
    if (!toHost_.empty()) next = toHost_.front().first;
    if (at_ != end_ && !blocked_ && !hungUp_ && (!next || nextUs_ < *next)) next = nextUs_;
    return next;
  }

  void AdvanceTo(uint64_t nowUs, std::vector<uint8_t>* toHost, bool* lineError, bool* hungUp) override {
    while (!hungUp_ && at_ != end_ && !blocked_ && nextUs_ <= nowUs) Step(nowUs, lineError);
    while (!toHost_.empty() && toHost_.front().first <= nowUs) {
      toHost->push_back(toHost_.front().second);
      toHost_.pop_front();
    }
    if (hungUp_ && !hangUpReported_) {
      hangUpReported_ = true;
      *hungUp = true;
    }
  }

 private:
  uint8_t Take() { return at_ != end_ ? *at_++ : 0; }
  void Send(uint64_t atUs, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) toHost_.emplace_back(atUs, bytes[i]);
  }

  void Step(uint64_t nowUs, bool* lineError) {
    const uint8_t op = Take();
    const uint8_t arg = op >> 3;
    const uint64_t t = std::max(nextUs_, toHost_.empty() ? 0 : toHost_.back().first);
    switch (op & 7) {
      case 0: {
        const size_t n = std::min<size_t>(arg + 1u, static_cast<size_t>(end_ - at_));
        Send(t, at_, n);
        at_ += n;
        break;
      }
      case 1:
        if (arg == 0) {
          // A write made before the script got here counts as well.
          if (writes_ > writesSeen_) {
            writesSeen_ = writes_;
            nextUs_ = std::max(nextUs_, lastWriteUs_ + kTurnaroundUs);
          } else {
            blocked_ = !draining_;
          }
        } else {
          nextUs_ = nowUs + static_cast<uint64_t>(arg) * arg * 400;
        }
        break;
      case 2: {
        const uint8_t destination = Take();
        const uint8_t source = Take();
        const uint8_t control = Take();
        uint8_t data[6];
        for (uint8_t& b : data) b = Take();
        const link::DataFrame f = link::EncodeDataFrame(protocol_, destination, source, control, data);
        Send(t, f.data(), f.size());
        break;
      }
      case 3: {
        const link::ShortFrame f = link::EncodeAck(protocol_, hostSource_, hostDestination_);
        Send(t, f.bytes.data(), static_cast<size_t>(f.size));
        break;
      }
      case 4:
        if ((arg & 1) != 0 && !unechoed_.empty()) unechoed_.back() ^= static_cast<uint8_t>(arg | 1);
        Send(t, unechoed_.data(), unechoed_.size());
        unechoed_.clear();
        break;
      case 5: {
        const uint8_t destination = Take();
        const uint8_t source = Take();
        const uint8_t control = Take();
        const link::ShortFrame f = link::EncodeShortFrame(protocol_, destination, source, control);
        Send(t, f.bytes.data(), static_cast<size_t>(f.size));
        break;
      }
      case 6:
        if (arg == 31) {
          hungUp_ = true;
        } else {
          *lineError = true;
        }
        break;
      default: {
        uint8_t data[6];
        for (uint8_t& b : data) b = Take();
        const auto control = static_cast<uint8_t>((arg & 7) | link::CountField(6));
        const link::DataFrame f =
            link::EncodeDataFrame(protocol_, hostSource_, hostDestination_, control, data);
        Send(t, f.data(), f.size());
        break;
      }
    }
  }

  const uint8_t* at_;
  const uint8_t* end_;
  int32_t protocol_;
  bool autoReply_;
  bool draining_ = false;
  bool blocked_ = false;
  bool hungUp_ = false;
  bool hangUpReported_ = false;
  uint64_t nextUs_ = 0;
  uint64_t writes_ = 0;
  uint64_t writesSeen_ = 0;
  uint64_t lastWriteUs_ = 0;
  uint8_t hostDestination_ = 0;
  uint8_t hostSource_ = 1;
  std::vector<uint8_t> unechoed_;
  std::deque<std::pair<uint64_t, uint8_t>> toHost_;
};

// What the client's callbacks saw, and the nested call some of them start.
struct Client {
  DriverContext* ctx = nullptr;
  int32_t localAddress = 1;
  bool spy = false;
  bool nestedSend = false;
  int nestedLeft = 2;
  int depth = 0;
  int32_t queryReplies = 0;
  int32_t lastReplyAddress = -1;
  int32_t firmwareInfos = 0;
  int32_t lastFirmwareAddress = -1;
  int32_t remoteErrors = 0;
  int32_t dataEvents = 0;
  int32_t lastMapProgress = -1;
  int32_t devicesFound = 0;
};
Client* gClient = nullptr;

int SilentBox(const char*, const char*, unsigned) { return IDOK; }

// Every callback reads all it is given, so a bad pointer or a short buffer
// shows up under the address sanitizer.
uint32_t Touch(const uint8_t* bytes, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += bytes[i];
  return sum;
}
size_t TouchText(const char* text) {
  FUZZ_CHECK(text != nullptr);
  return std::strlen(text);
}

void ZEVA_CALLBACK OnData(int32_t source, int32_t destination, int32_t count, int32_t type,
                          const uint8_t* data, int32_t eventCode) {
  Client& c = *gClient;
  ++c.dataEvents;
  FUZZ_CHECK(data != nullptr);
  (void)Touch(data, 6);
  FUZZ_CHECK(source >= 0 && source <= 255 && destination >= 0 && destination <= 127);
  FUZZ_CHECK(count >= 0 && count <= 7 && type == data[5]);
  // Bytes past the count never carry what was on the wire.
  for (int32_t i = count + 1; i < 6; ++i) FUZZ_CHECK(data[i] == 0);
  // Frames for other stations are only seen when spying.
  FUZZ_CHECK(c.spy || destination == 0 || destination == c.localAddress);
  FUZZ_CHECK(eventCode == 1 || eventCode == 2 || eventCode == 4 || eventCode == 5 || eventCode == 6 ||
             eventCode == 7 || eventCode == 0);
  // A client answering from its callback: the driver has to take a send
  // (or a whole exchange) started in the middle of its receive loop.
  if (c.nestedSend && c.nestedLeft > 0 && c.depth == 0) {
    --c.nestedLeft;
    ++c.depth;
    uint8_t reply[6];
    std::memcpy(reply, data, 6);
    switch (data[0] & 3) {
      case 0:
        (void)SendData(*c.ctx, source, data[1] & 3, 2, reply, 6);
        break;
      case 1:
        (void)Query(*c.ctx, source, reply, 1, 7);
        break;
      default: {
        // A frame the client built itself (the driver fills in the
        // checksum), or just the bytes.
        uint8_t raw[link::kDataFrameSize] = {link::kStartByte, static_cast<uint8_t>(source & 0x7F),
                                             static_cast<uint8_t>(c.localAddress), 0xC2};
        std::memcpy(raw + 4, reply, 6);
        int16_t checksum = 0;
        const bool whole = (data[0] & 3) == 2;
        const int32_t sent = whole ? SendRaw(*c.ctx, raw, link::kDataFrameSize, &checksum, 1)
                                   : SendRaw(*c.ctx, reply, 6, &checksum, 0);
        FUZZ_CHECK(sent == 0 || sent == 1);
        break;
      }
    }
    --c.depth;
  }
}

void ZEVA_CALLBACK OnQueryReply(int32_t address, const uint8_t* reply, int32_t tag) {
  (void)Touch(reply, 6);
  (void)tag;
  if (gClient->depth == 0) {
    ++gClient->queryReplies;
    gClient->lastReplyAddress = address;
  }
}

void ZEVA_CALLBACK OnFirmwareInfo(int32_t address, const char* serial, int32_t product, const char* name,
                                  int32_t low, int32_t high, const char* version) {
  (void)TouchText(serial);
  (void)TouchText(name);
  (void)TouchText(version);
  FUZZ_CHECK(product >= 0 && product <= 255 && low >= 0 && low <= 255 && high >= 0 && high <= 255);
  ++gClient->firmwareInfos;
  gClient->lastFirmwareAddress = address;
}

void ZEVA_CALLBACK OnRemoteError(int32_t address, int32_t code, const char* report) {
  (void)address;
  FUZZ_CHECK(code >= 0 && code <= 255);
  (void)TouchText(report);
  ++gClient->remoteErrors;
}

void ZEVA_CALLBACK OnMapProgress(int32_t address) {
  FUZZ_CHECK(address >= 0 && address <= 127);
  gClient->lastMapProgress = address;
}

void ZEVA_CALLBACK OnDeviceFound(int32_t address, const char* serial, int32_t product, int32_t low,
                                 int32_t high) {
  (void)TouchText(serial);
  FUZZ_CHECK(address >= 1 && address <= 255);
  FUZZ_CHECK(product >= 0 && product <= 255 && low >= 0 && low <= 255 && high >= 0 && high <= 255);
  ++gClient->devicesFound;
}

void ZEVA_CALLBACK OnDriverError(int32_t code, const char* text) {
  (void)code;
  if (text != nullptr) (void)TouchText(text);
}

void ZEVA_CALLBACK OnProgress(int32_t value, const char* text) {
  (void)value;
  if (text != nullptr) (void)TouchText(text);
}

LRESULT ClientProc(HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

// The driver's state once everything has settled: nothing in flight, no
// request left behind, the echo marks consistent with the accumulator.
void CheckSettled(const DriverContext& ctx) {
  FUZZ_CHECK(ctx.transact.receiveLoop == ReceiveLoop::kIdle);
  FUZZ_CHECK(ctx.runtime.echo->writes() == 0);
  FUZZ_CHECK((ctx.core.flags.word & SF_TX_ACTIVE) == 0);
  FUZZ_CHECK(ctx.transact.requests->count() == 0);
  if (const link::ByteQueue* accumulator = ReceiveAccumulator(ctx)) {
    const int32_t length = accumulator->length();
    FUZZ_CHECK(length >= 0);
    FUZZ_CHECK(ctx.runtime.echo->start() >= -1 && ctx.runtime.echo->start() <= length);
  }
}

// One client call, with what it must have done checked. `call` is laid out
// like the first header byte.
void RunCall(DriverContext& ctx, Client& client, uint8_t call, int32_t asked, uint8_t lengthByte) {
  client.queryReplies = 0;
  client.firmwareInfos = 0;
  client.remoteErrors = 0;
  client.lastMapProgress = -1;
  uint8_t message[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  switch (call & 7) {
    case 1: {
      const int32_t result = Query(ctx, asked, message, 1, 42);
      FUZZ_CHECK(result == 0 || result == 1);
      FUZZ_CHECK(client.queryReplies == result);
      if (result == 1 && asked != 0) FUZZ_CHECK(client.lastReplyAddress == asked);
      break;
    }
    case 2: {
      const int32_t result = GetFirmwareInfo(ctx, asked);
      FUZZ_CHECK(result == 0 || result == 1);
      FUZZ_CHECK(client.firmwareInfos == result);
      if (result == 1 && asked != 0) FUZZ_CHECK(client.lastFirmwareAddress == asked);
      break;
    }
    case 3: {
      const int32_t result = GetRemoteError(ctx, asked);
      FUZZ_CHECK(result == 0 || result == 1);
      FUZZ_CHECK(client.remoteErrors == result);
      break;
    }
    case 4: {
      const int32_t length = lengthByte & 31;
      std::vector<uint8_t> data(static_cast<size_t>(length));
      for (int32_t i = 0; i < length; ++i) data[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 37 + 1);
      const int32_t result =
          SendData(ctx, asked, (call >> 3) & 3, call >> 5, data.data(), length);
      FUZZ_CHECK(result == 0 || result == 1 || result == 2 || result == kSendPortClosed ||
                 result == kSendBadArgument);
      break;
    }
    case 5: {
      std::memcpy(ctx.transact.outputBuffer, message, sizeof message);
      const int32_t result = Send(ctx, asked, call >> 5, (call >> 3) & 3);
      FUZZ_CHECK(result == 0 || result == 1 || result == 2 || result == kSendPortClosed ||
                 result == kSendBadArgument);
      break;
    }
    case 6: {
      std::vector<uint8_t> program(static_cast<size_t>(1 + (lengthByte & 31)));
      for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<uint8_t>(i * 11 + 3);
      const int32_t result = ProgramDirect(ctx, "S01A2B3", asked, 5, 0, 0, program.data(),
                                           static_cast<int32_t>(program.size()));
      FUZZ_CHECK(result == 0 || result == 1);
      FUZZ_CHECK((result == 1) == (ctx.services.lastProgramError == kProgramErrorNone));
      break;
    }
    case 7: {
      const int32_t result = MakeMap(ctx);
      FUZZ_CHECK(result == 0 || result == 1);
      FUZZ_CHECK(ctx.services.mapRunning == 0);
      if (result == 1) FUZZ_CHECK(client.lastMapProgress == 0);
      break;
    }
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < kHeader) return 0;
  SetMessageBoxHook(&SilentBox);
  const uint8_t options = input[1];
  const int32_t protocol = (options & 1) != 0 ? 1 : 2;
  const int32_t asked = (input[2] & 0x80) != 0 ? 0 : (input[2] & 0x7F);
  const int32_t local = (input[3] & 0x7F) != 0 ? (input[3] & 0x7F) : 1;

  ScriptLine line(input + kHeader, size - kHeader, protocol, (options & 0x20) != 0);
  {
    testing::TestPlatform platform;
    DriverContext ctx(platform);
    ProcessAttach(ctx);
    Client client;
    client.ctx = &ctx;
    client.nestedSend = (options & 0x40) != 0;
    client.spy = (options & 2) != 0;
    gClient = &client;

    platform.onAdvance = [&platform](uint64_t, uint64_t) { FUZZ_CHECK(platform.NowUs() <= kMaxVirtualUs); };
    platform.AttachLine(ctx.core.settings.port, &line);
    config::SetProtocol(ctx, protocol);
    config::SetLocalAddress(ctx, local);
    config::SetSpy(ctx, (options & 2) != 0 ? 1 : 0);
    config::SetAutoEcho(ctx, (options & 4) != 0 ? 1 : 0);
    config::SetNoAck(ctx, (options & 8) != 0 ? 1 : 0);
    config::SetEchoCheck(ctx, (options & 0x10) != 0 ? 1 : 0);
    config::SetNoErrMsgBox(ctx, 1);
    config::SetPacketTimeout(ctx, 1 + (input[5] & 0x7F));
    if ((options & 0x80) != 0) config::SetResponseMsg(ctx, input[4]);
    client.localAddress = ctx.core.settings.localAddress;

    ClientCallbacks callbacks;
    callbacks.onDataReceived = &OnData;
    callbacks.onQueryReply = &OnQueryReply;
    callbacks.onFirmwareInfo = &OnFirmwareInfo;
    callbacks.onRemoteError = &OnRemoteError;
    callbacks.onDriverError = &OnDriverError;
    callbacks.onProgress = &OnProgress;
    callbacks.onMapProgress = &OnMapProgress;
    callbacks.onDeviceFound = &OnDeviceFound;
    SetCallbackEvents(ctx, callbacks);
    HWND window = CreateMessageWindow(&ClientProc);
    FUZZ_CHECK(OpenCOM(ctx, window) == 1);

    RunCall(ctx, client, input[0], asked, input[4]);
    // A second call finds whatever the first one left behind.
    if ((input[6] & 7) != 0) RunCall(ctx, client, input[6], asked, input[4]);

    // Whatever the script still holds arrives with nobody waiting for it.
    line.Drain();
    for (int i = 0; i < 10000 && !line.Done(); ++i) WaitForFlags(ctx, 50, 0);
    FUZZ_CHECK(line.Done());
    WaitForFlags(ctx, 10, 0);
    CheckSettled(ctx);

    CloseCOM(ctx);
    DetachWindowBridge(ctx);
    DestroyWindow(window);
    ProcessDetach(ctx);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    gClient = nullptr;
  }
  return 0;
}
