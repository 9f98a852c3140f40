#include "core/config.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/int16.h"

namespace zeva::config {
namespace {

// Setters of 16-bit sizes share one shape: store the clamped value, return
// the argument raised to the lower bound (an argument above the upper bound
// is returned unchanged).
int32_t StoreClamped16(int16_t* setting, int32_t slot, int16_t lo, int16_t hi) {
  const int16_t v = Low16(slot);
  *setting = std::clamp(v, lo, hi);
  return Widen16(std::max(v, lo));
}

}  // namespace

int32_t SetCOMPort(core::CoreState& ctx, int32_t port) {
  return StoreClamped16(&ctx.settings.port, port, 1, 128);
}
int32_t GetCOMPort(const core::CoreState& ctx) { return Widen16(ctx.settings.port); }

int32_t SetBps(core::CoreState& ctx, int32_t bps) {
  ctx.settings.bps = bps;
  return bps;
}
int32_t GetBps(const core::CoreState& ctx) { return ctx.settings.bps; }

int32_t SetFrameSize(core::CoreState& ctx, int32_t size) {
  return StoreClamped16(&ctx.settings.frameSize, size, 7, 8);
}
int32_t GetFrameSize(const core::CoreState& ctx) { return Widen16(ctx.settings.frameSize); }

int32_t SetRXbuffer(core::CoreState& ctx, int32_t size) {
  return StoreClamped16(&ctx.settings.rxBuffer, size, 1, 2048);
}
int32_t GetRXbuffer(const core::CoreState& ctx) { return Widen16(ctx.settings.rxBuffer); }

int32_t SetTXbuffer(core::CoreState& ctx, int32_t size) {
  return StoreClamped16(&ctx.settings.txBuffer, size, 1, 2048);
}
int32_t GetTXbuffer(const core::CoreState& ctx) { return Widen16(ctx.settings.txBuffer); }

int32_t SetLocalAddress(core::CoreState& ctx, int32_t address) {
  return StoreClamped16(&ctx.settings.localAddress, address, 0, 255);
}
int32_t GetLocalAddr(const core::CoreState& ctx) { return Widen16(ctx.settings.localAddress); }

int32_t SetAdapterID(core::CoreState& ctx, int32_t id) {
  ctx.settings.adapterId = id;
  // A plain adapter returns every byte as an echo; the intelligent one (1)
  // does not. Other kinds leave the choice to the client.
  if (id == 1) ctx.switches.echoCheck = 0;
  if (id == 0) ctx.switches.echoCheck = 1;
  return id;
}
int32_t GetAdapterID(const core::CoreState& ctx) { return ctx.settings.adapterId; }

int32_t SetProtocol(core::CoreState& ctx, int32_t protocol) {
  if (protocol >= 1 && protocol <= 2) ctx.settings.protocol = protocol;
  return protocol;
}

int32_t SetPacketTimeout(core::CoreState& ctx, int32_t ms) {
  const int16_t v = Low16(ms);
  ctx.settings.packetTimeout = v <= 0 ? DefaultOf(&Settings::packetTimeout) : v;
  return Widen16(ctx.settings.packetTimeout);
}
int32_t GetPacketTimeout(const core::CoreState& ctx) { return Widen16(ctx.settings.packetTimeout); }

int32_t SetBusyTimeout(core::CoreState& ctx, int32_t ms) {
  const int16_t v = Low16(ms);
  ctx.settings.busyTimeout = v <= 0 ? DefaultOf(&Settings::busyTimeout) : v;
  return Widen16(v);
}
int32_t GetBusyTimeout(const core::CoreState& ctx) { return Widen16(ctx.settings.busyTimeout); }

int32_t SetSpy(core::CoreState& ctx, int32_t flag) {
  ctx.switches.spy = Low16(flag) != 0 ? 1 : 0;
  return ctx.switches.spy;
}
int32_t SetAutoEcho(core::CoreState& ctx, int32_t flag) {
  ctx.switches.autoReply = Low16(flag);
  return ctx.switches.autoReply;
}
int32_t SetNoAck(core::CoreState& ctx, int32_t flag) {
  ctx.switches.noAck = Low16(flag);
  return ctx.switches.noAck;
}
int32_t SetEchoCheck(core::CoreState& ctx, int32_t flag) {
  ctx.switches.echoCheck = Low16(flag) != 0 ? 1 : 0;
  return ctx.switches.echoCheck;
}
int32_t SetNoErrMsgBox(core::CoreState& ctx, int32_t flag) {
  ctx.switches.noErrMsgBox = Low16(flag);
  return ctx.switches.noErrMsgBox;
}
int32_t FreezeEvents(core::CoreState& ctx, int32_t flag) {
  ctx.switches.eventsFrozen = Low16(flag);
  return ctx.switches.eventsFrozen;
}
int32_t SetResponseMsg(core::CoreState& ctx, int32_t code) {
  ctx.switches.responseMsg = code;
  return code;
}

int32_t GetZEVADriverVersion(core::CoreState& ctx, char* buffer, int32_t length) {
  // The resource's text is held in a 260-byte buffer: at most 259 characters.
  std::string text = ctx.platform.VersionString("FileVersion").substr(0, 259);
  std::replace(text.begin(), text.end(), ',', '.');
  const auto n = static_cast<int32_t>(text.size());
  if (buffer != nullptr && n < length) std::memcpy(buffer, text.c_str(), text.size() + 1);
  return n;
}

int32_t CopyString(const char* source, char* destination, int32_t size) {
  if (source == nullptr || destination == nullptr) return 0;
  const size_t len = std::strlen(source);
  if (size == 0) return static_cast<int32_t>(len + 1);
  if (size < 0 || len + 1 > static_cast<size_t>(size)) return 0;
  std::memcpy(destination, source, len + 1);
  return static_cast<int32_t>(len);
}

}  // namespace zeva::config
