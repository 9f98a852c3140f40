#include "runtime/port.h"

#include <cstdio>
#include <string>

#include "core/errors.h"
#include "core/int16.h"
#include "platform/window_link.h"
#include "runtime/bridge.h"
#include "runtime/wait.h"

namespace zeva {
namespace {

constexpr uint32_t kCommEvents = platform::kEvRxChar | platform::kEvErr;

// The port as the event thread sees it; nullptr once ClosePort has begun.
platform::SerialPort* ThreadPort(const DriverContext& ctx) {
  return ctx.portContext ? ctx.portContext->port.load() : nullptr;
}

// Reads return at once with what is queued (the port's own behaviour);
// writes may take 19200 / bps ms per byte, and 0 (any rate above 19200)
// means no limit. A rate of 0 or less never gets here.
void SetPortTimeouts(platform::SerialConfig& config, int32_t bps) {
  config.writeTimeoutPerByteMs = static_cast<uint32_t>(19200 / bps);
}

// A rate of 0 or less cannot be configured; the open fails as for a line
// the port refused, without a message.
std::unique_ptr<platform::SerialPort> OpenPort(DriverContext& ctx, int32_t port, int32_t bps,
                                               int16_t byteSize, int16_t rxQueue, int16_t txQueue) {
  if (bps <= 0) return nullptr;
  platform::SerialConfig config;
  config.bps = bps;
  config.byteSize = Low8(byteSize);
  config.rxQueue = rxQueue;
  config.txQueue = txQueue;
  SetPortTimeouts(config, bps);
  platform::SerialStatus status = platform::SerialStatus::Of(platform::SerialStatus::Code::kCannotOpen);
  auto handle = ctx.platform.OpenSerial(port, config, &status);
  if (status.ok() && handle) return handle;
  if (status.code == platform::SerialStatus::Code::kCannotOpen) ShowSystemError(ctx);
  return nullptr;
}

// The event thread's body. It ends when ClosePort has cleared the port in
// the context (and woken the wait by clearing the event mask), or on its own
// when the wait fails, e.g. because the line went away.
void SerialEventThread(PortContext& pc) {
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
void StartReceiving(DriverContext& ctx) {
  ctx.portContext->rx->Release();
  if (ctx.echo) ctx.echo->Reset();
}

std::unique_ptr<platform::EventThread> StartEventThread(DriverContext& ctx, platform::SerialPort& port) {
  PortContext* pc = ctx.portContext.get();
  if (pc == nullptr || !pc->rx) return nullptr;
  StartReceiving(ctx);
  pc->eventHandler = [&ctx](uint32_t mask) { CommEventHandler(ctx, mask); };
  pc->port = &port;
  auto thread = ctx.platform.StartEventThread(port, [pc] { SerialEventThread(*pc); }, pc->eventHandler);
  if (!thread) ShowSystemError(ctx);
  return thread;
}

void ClosePort(DriverContext& ctx) {
  if (!ctx.portContext) return;
  platform::SerialPort* port = ctx.portContext->port.exchange(nullptr);
  if (port == nullptr) return;
  port->SetEventMask(0);
  // Returns at once when the thread already ended on its own (line gone).
  if (ctx.eventThread) ctx.eventThread->Join();
  ctx.eventThread.reset();
  port->Purge();
  // Nothing written before the close can come back now.
  if (ctx.echo) ctx.echo->Reset();
  if (!port->Close().ok()) ShowSystemError(ctx);
}

// --- WriteBytes -------------------------------------------------------------

// With the echo check on, records the bytes whose echo the parser is to
// compare. Returns the write's number in the echo tracker, 0 when the echo
// is not checked, -1 when ten echo-checking writes are already in progress.
int32_t ExpectEcho(DriverContext& ctx, const uint8_t* buffer, int32_t count) {
  if (ctx.switches.echoCheck == 0 || !ctx.echo) return 0;
  const int32_t write = ctx.echo->Expect(buffer, count);
  if (write < 0) ctx.platform.ShowBox(kTextTooManyRequests, kDriverCaption, MB_ICONERROR);
  return write;
}


void ReportWriteTimeout(DriverContext& ctx, int32_t total) {
  char text[96];
  std::snprintf(text, sizeof text, kFormatWriteTimeout, static_cast<long>(total));
  ReportDriverError(ctx, kErrWriteTimeout, text, false, MB_ICONINFORMATION);
}

// The port write. Returns the bytes written, or -1 when the write failed.
int32_t WriteToPort(DriverContext& ctx, platform::SerialPort& port, const uint8_t* buffer, int32_t count) {
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
int32_t EchoVerdict(DriverContext& ctx, int32_t write, int32_t written) {
  if (write == 0 || !ctx.echo) return written;
  const bool matched = ctx.echo->Matched(write);
  ctx.echo->Finish(write);
  return matched ? written : 0;
}

}  // namespace

int32_t OpenCOM(DriverContext& ctx, HWND window) {
  // A window that is gone could never take the port's events: nothing is
  // attached or opened for it.
  if (window != nullptr && !WindowExists(window)) return 0;
  // The driver serves a window's events on the thread that calls it: a
  // window of another thread, or a call from inside the system's loader
  // (where the event thread cannot start), is refused.
  if (window != nullptr && !platform::IsWindowOfThisThread(window)) return 0;
  SwitchClientWindow(ctx, window);
  if (window == nullptr) return 0;
  if (ctx.savedWindowProc == nullptr) AttachWindowBridge(ctx);
  if (ctx.portHandle) return 0;
  Settings& s = ctx.settings;
  if (s.rxBuffer == 0) s.rxBuffer = DefaultOf(&Settings::rxBuffer);
  if (s.txBuffer == 0) s.txBuffer = DefaultOf(&Settings::txBuffer);
  ctx.portHandle = OpenPort(ctx, s.port, s.bps, s.frameSize, s.rxBuffer, s.txBuffer);
  if (!ctx.portHandle) return 0;
  ctx.eventThread = StartEventThread(ctx, *ctx.portHandle);
  if (ctx.eventThread) return 1;
  if (!ctx.portHandle->Close().ok()) ShowSystemError(ctx);
  ctx.portHandle.reset();
  if (ctx.portContext) ctx.portContext->port = nullptr;
  return 0;
}

void CloseCOM(DriverContext& ctx) {
  if (!ctx.portHandle) return;
  ClosePort(ctx);
  ctx.portHandle.reset();
}

int32_t IsOpen(const DriverContext& ctx) { return ctx.portHandle ? 1 : 0; }

int32_t ReadBytes(DriverContext& ctx, uint8_t* buffer, int32_t maximum) {
  platform::SerialPort* port = ThreadPort(ctx);
  if (port == nullptr || buffer == nullptr || maximum <= 0) return 0;
  const int32_t queued = port->QueuedBytes();
  if (queued <= 0) return 0;
  const int32_t n = queued < maximum ? queued : maximum;
  const platform::SerialStatus read = port->Read(buffer, n);
  return read.ok() && read.count > 0 ? read.count : 0;
}

int32_t WriteBytes(DriverContext& ctx, const uint8_t* buffer, int32_t count, WaitFor waitFor) {
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

void ShowSystemError(DriverContext& ctx) {
  const std::string text = ctx.platform.LastErrorText();
  ctx.platform.ShowBox(text.c_str(), kDriverCaption, MB_ICONINFORMATION);
}

}  // namespace zeva
