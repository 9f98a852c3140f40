#include "runtime/port.h"

#include <cstdio>
#include <string>

#include "core/errors.h"
#include "core/int16.h"
#include "platform/window_link.h"
#include "runtime/bridge.h"
#include "runtime/channel.h"
#include "runtime/wait.h"
#include "runtime/window_bridge.h"

namespace zeva {
namespace {

constexpr uint32_t kCommEvents = platform::kEvRxChar | platform::kEvErr;

// The port as the event thread sees it; nullptr once ClosePort has begun.
platform::SerialPort* ThreadPort(const runtime::RuntimeState& ctx) {
  return ctx.channel() ? ctx.channel()->port.load() : nullptr;
}

// Reads return at once with what is queued (the port's own behaviour);
// writes may take 19200 / bps ms per byte, and 0 (any rate above 19200)
// means no limit. A rate of 0 or less never gets here.
void SetPortTimeouts(platform::SerialConfig& config, int32_t bps) {
  config.writeTimeoutPerByteMs = static_cast<uint32_t>(19200 / bps);
}

// A rate of 0 or less cannot be configured; the open fails as for a line
// the port refused, without a message.
std::unique_ptr<platform::SerialPort> OpenPort(runtime::RuntimeState& ctx, int32_t port, int32_t bps,
                                               int16_t byteSize, int16_t rxQueue, int16_t txQueue) {
  if (bps <= 0) return nullptr;
  platform::SerialConfig config;
  config.bps = bps;
  config.byteSize = Low8(byteSize);
  config.rxQueue = rxQueue;
  config.txQueue = txQueue;
  SetPortTimeouts(config, bps);
  platform::SerialStatus status = platform::SerialStatus::Of(platform::SerialStatus::Code::kCannotOpen);
  auto handle = ctx.core.platform.OpenSerial(port, config, &status);
  if (status.ok() && handle) return handle;
  if (status.code == platform::SerialStatus::Code::kCannotOpen) ShowSystemError(ctx);
  return nullptr;
}

// The event thread's body. It ends when ClosePort has cleared the port in
// the context (and woken the wait by clearing the event mask), or on its own
// when the wait fails, e.g. because the line went away.
void SerialEventThread(runtime::Channel& pc) {
  platform::SerialPort* port = pc.port.load();
  if (port == nullptr || !port->SetEventMask(kCommEvents).ok()) return;
  for (;;) {
    if (pc.port.load() == nullptr) return;
    uint32_t mask = 0;
    if (!port->WaitEvent(&mask).ok()) return;
    if (mask != 0) pc.eventHandler(mask);
  }
}

// The receive accumulator starts empty with each opening of the port, and
// the echo bookkeeping with it: a position noted against the bytes of an
// earlier opening would place the next echo where it cannot be. (A pending
// mark left by a write the reopening cut off is settled by the parser: it
// has nothing to compare.)
void StartReceiving(runtime::RuntimeState& ctx, runtime::Channel& channel) {
  channel.rx->Release();
  if (ctx.echo) ctx.echo->Reset();
}

// Makes `device` the channel's open port and starts its event thread. On
// failure the device is handed back, still open.
bool StartChannel(runtime::RuntimeState& ctx, std::unique_ptr<platform::SerialPort>& device) {
  runtime::Channel* channel = ctx.channel();
  if (channel == nullptr) return false;
  StartReceiving(ctx, *channel);
  channel->eventHandler = [&ctx](uint32_t mask) { CommEventHandler(ctx, mask); };
  platform::SerialPort& port = *device;
  channel->device = std::move(device);
  channel->port = &port;
  channel->eventThread =
      ctx.core.platform.StartEventThread(port, [channel] { SerialEventThread(*channel); }, channel->eventHandler);
  if (channel->eventThread) return true;
  ShowSystemError(ctx);
  channel->port = nullptr;
  device = std::move(channel->device);
  return false;
}

void ClosePort(runtime::RuntimeState& ctx, runtime::Channel& channel) {
  platform::SerialPort* port = channel.port.exchange(nullptr);
  if (port == nullptr) return;
  port->SetEventMask(0);
  // Returns at once when the thread already ended on its own (line gone).
  if (channel.eventThread) channel.eventThread->Join();
  channel.eventThread.reset();
  port->Purge();
  // Nothing written before the close can come back now.
  if (ctx.echo) ctx.echo->Reset();
  if (!port->Close().ok()) ShowSystemError(ctx);
  channel.device.reset();
}

// --- WriteBytes -------------------------------------------------------------

// With the echo check on, records the bytes whose echo the parser is to
// compare. Returns the write's number in the echo tracker, 0 when the echo
// is not checked, -1 when ten echo-checking writes are already in progress.
int32_t ExpectEcho(runtime::RuntimeState& ctx, const uint8_t* buffer, int32_t count) {
  if (ctx.core.switches.echoCheck == 0 || !ctx.echo) return 0;
  const int32_t write = ctx.echo->Expect(buffer, count);
  if (write < 0) ctx.core.platform.ShowBox(kTextTooManyRequests, kDriverCaption, MB_ICONERROR);
  return write;
}


void ReportWriteTimeout(runtime::RuntimeState& ctx, int32_t total) {
  char text[96];
  std::snprintf(text, sizeof text, kFormatWriteTimeout, static_cast<long>(total));
  ReportDriverError(ctx, kErrWriteTimeout, text, false, MB_ICONINFORMATION);
}

// The port write. Returns the bytes written, or -1 when the write failed.
int32_t WriteToPort(runtime::RuntimeState& ctx, platform::SerialPort& port, const uint8_t* buffer, int32_t count) {
  const platform::SerialStatus result = port.Write(buffer, count);
  switch (result.code) {
    case platform::SerialStatus::Code::kOk:
      return result.count;
    case platform::SerialStatus::Code::kTimeout:
      if (result.count == count) return count;
      ReportWriteTimeout(ctx, result.count);
      return -1;
    default:
      return -1;
  }
}

// After the wait: with the echo check on, the write counts only when its
// echo came back unchanged.
int32_t EchoVerdict(runtime::RuntimeState& ctx, int32_t write, int32_t written) {
  if (write == 0 || !ctx.echo) return written;
  const bool matched = ctx.echo->Matched(write);
  ctx.echo->Finish(write);
  return matched ? written : 0;
}

}  // namespace

int32_t OpenCOM(runtime::RuntimeState& ctx, HWND window) {
  // A window that is gone could never take the port's events: nothing is
  // attached or opened for it.
  if (window != nullptr && !WindowExists(window)) return 0;
  // The driver serves a window's events on the thread that calls it: a
  // window of another thread, or a call from inside the system's loader
  // (where the event thread cannot start), is refused.
  if (window != nullptr && !platform::IsWindowOfThisThread(window)) return 0;
  SwitchClientWindow(ctx, window);
  if (window == nullptr) return 0;
  if (ctx.bridge().savedWindowProc == nullptr) AttachWindowBridge(ctx);
  if (IsOpen(ctx) != 0) return 0;
  Settings& s = ctx.core.settings;
  if (s.rxBuffer == 0) s.rxBuffer = DefaultOf(&Settings::rxBuffer);
  if (s.txBuffer == 0) s.txBuffer = DefaultOf(&Settings::txBuffer);
  std::unique_ptr<platform::SerialPort> device = OpenPort(ctx, s.port, s.bps, s.frameSize, s.rxBuffer, s.txBuffer);
  if (!device) return 0;
  if (StartChannel(ctx, device)) return 1;
  if (!device->Close().ok()) ShowSystemError(ctx);
  return 0;
}

void CloseCOM(runtime::RuntimeState& ctx) {
  if (IsOpen(ctx) != 0) ClosePort(ctx, *ctx.channel());
}

int32_t IsOpen(const runtime::RuntimeState& ctx) {
  return ctx.channel() != nullptr && ctx.channel()->port.load() != nullptr ? 1 : 0;
}

link::ByteQueue* ReceiveAccumulator(const runtime::RuntimeState& ctx) {
  return ctx.channel() != nullptr ? ctx.channel()->rx.get() : nullptr;
}

void ExpectBytes(runtime::RuntimeState& ctx, int32_t count) {
  if (platform::SerialPort* port = ThreadPort(ctx)) port->ExpectBytes(count);
}

int32_t ReadBytes(runtime::RuntimeState& ctx, uint8_t* buffer, int32_t maximum) {
  platform::SerialPort* port = ThreadPort(ctx);
  if (port == nullptr || buffer == nullptr || maximum <= 0) return 0;
  const int32_t queued = port->QueuedBytes();
  if (queued <= 0) return 0;
  const int32_t n = queued < maximum ? queued : maximum;
  const platform::SerialStatus read = port->Read(buffer, n);
  return read.ok() && read.count > 0 ? read.count : 0;
}

int32_t WriteBytes(runtime::RuntimeState& ctx, const uint8_t* buffer, int32_t count, WaitFor waitFor) {
  platform::SerialPort* port = ThreadPort(ctx);
  if (port == nullptr) return 0;
  // Every write of the station is traced here, once, whoever makes it.
  if (ctx.trace) ctx.trace(0, buffer, count);
  const int32_t write = ExpectEcho(ctx, buffer, count);
  if (write < 0) return 0;
  const int32_t written = WriteToPort(ctx, *port, buffer, count);
  if (written < 0) {
    if (write > 0 && ctx.echo) ctx.echo->Withdraw(write);
    return 0;
  }
  uint32_t mask = waitFor == WaitFor::kAck ? SF_ACK_RECEIVED : 0;
  if (write > 0) mask |= SF_ECHO_MATCHED;
  WaitForFlags(ctx, 2 * PacketTimeoutMs(ctx), mask);
  return EchoVerdict(ctx, write, written);
}

void ShowSystemError(runtime::RuntimeState& ctx) {
  const std::string text = ctx.core.platform.LastErrorText();
  ctx.core.platform.ShowBox(text.c_str(), kDriverCaption, MB_ICONINFORMATION);
}

}  // namespace zeva
