#include "services/identify.h"

#include <algorithm>
#include <cstdio>

#include "core/config.h"
#include "core/int16.h"
#include "core/scoped_mode.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "services/service_common.h"
#include "services/station_request.h"
#include "transact/transmitter.h"
#include "transact/request_table.h"

namespace zeva {
namespace {

using namespace services;

constexpr uint8_t kIdentifyRequest[6] = {0, 0, 0, 0, 0, 250};
constexpr int32_t kFirstMapAddress = 1;
constexpr int32_t kLastMapAddress = 127;
constexpr uint8_t kFirstSpecialBuild = 200;
constexpr size_t kProductNameSize = 255;
constexpr int32_t kVersionTextSize = 100;

// "S%06X", or " S%06X" for the map.
struct SerialText {
  char text[16];
  SerialText(const DeviceIdentity& id, bool leadingBlank) {
    std::snprintf(text, sizeof text, leadingBlank ? " S%06X" : "S%06X", static_cast<unsigned>(id.serial()));
  }
};

int32_t AnswerForLocalStation(DriverContext& ctx, int32_t address, InfoCallback info) {
  if (info == InfoCallback::kOnFirmwareInfo) {
    char version[kVersionTextSize] = {};
    config::GetZEVADriverVersion(ctx, version, kVersionTextSize);
    Notify(ctx, &ClientCallbacks::onFirmwareInfo, Widen16(Low16(address)), "S000000", 0,
           "[WIN32 ZEVA COM Driver]", 0, 0, static_cast<const char*>(version));
  }
  return 1;
}

void ReportFirmwareInfo(DriverContext& ctx, uint8_t source, const DeviceIdentity& id) {
  const SerialText serial(id, false);
  const std::string name = ProductName(ctx, id.product());
  char version[16];
  std::snprintf(version, sizeof version, "%d.%d", id.versionHigh(), id.versionLow());
  Notify(ctx, &ClientCallbacks::onFirmwareInfo, static_cast<int32_t>(source),
         static_cast<const char*>(serial.text), static_cast<int32_t>(id.product()), name.c_str(),
         static_cast<int32_t>(id.versionLow()), static_cast<int32_t>(id.versionHigh()),
         static_cast<const char*>(version));
}

// --- bus map -------------------------------------------------------------

enum class Probe { kNextAddress, kAborted, kTableFull, kSendFailed, kBusy };

// Waits for an answer from `address`; other stations' answers (a nested
// request may have caught them) only restart the wait.
bool AwaitMapAnswer(DriverContext& ctx, int32_t address, uint32_t id, const link::FrameHeader& header) {
  while (WaitForFlags(ctx, ReplyWaitMs(ctx), SF_IDENTIFY_REPLY) == 0) {
    const PendingRequest* request = ctx.requests->Find(id);
    if (request != nullptr && request->done != 0 && header.source == address) return true;
    ctx.flags.Clear(SF_IDENTIFY_REPLY);
  }
  return false;
}

void ReportDeviceFound(DriverContext& ctx, int32_t address, const DeviceIdentity& id) {
  const SerialText serial(id, true);
  Notify(ctx, &ClientCallbacks::onDeviceFound, address, static_cast<const char*>(serial.text),
         static_cast<int32_t>(id.product()), static_cast<int32_t>(id.versionLow()),
         static_cast<int32_t>(id.versionHigh()));
}

// One address, probed again after a busy channel. A busy probe's request
// stays on the table through the pause, so an answer arriving meanwhile is
// still taken for it.
Probe ProbeAddress(DriverContext& ctx, int32_t address) {
  link::FrameHeader header;
  DeviceIdentity identity;
  ScopedRequest pending(*ctx.requests);
  const Probe probe = RetryWhileBusy(
      ctx,
      [&] {
        pending.Remove();
        Notify(ctx, &ClientCallbacks::onMapProgress, address);
        if (ctx.mapAbortRequested != 0) return Probe::kAborted;
        header = link::FrameHeader{};
        identity = DeviceIdentity{};
        if (!pending.Push(RQ_IDENTIFY, Low8(address), reinterpret_cast<uint8_t*>(&header), identity.bytes)) {
          return Probe::kTableFull;
        }
        ctx.flags.Clear(SF_IDENTIFY_REPLY);
        const OutgoingMessage request{.destination = Low8(address), .type = 1, .data = kIdentifyRequest, .length = 6};
        const TransmitResult sent = TransmitMessage(ctx, request, {.mode = kModeUnacked});
        if (sent == kTxBusy) return Probe::kBusy;
        if (sent != kTxDone) return Probe::kSendFailed;
        if (AwaitMapAnswer(ctx, address, pending.id(), header)) ReportDeviceFound(ctx, address, identity);
        return Probe::kNextAddress;
      },
      [](Probe p) { return p == Probe::kBusy ? Retry::kAfterPause : Retry::kNo; });
  if (probe == Probe::kTableFull) ReportDriverError(ctx, kErrTooManyRequests, kTextTooManyRequests, false);
  pending.Remove();
  if (probe == Probe::kSendFailed) ReportDriverError(ctx, kErrSendFailed, kTextSendFailed, false);
  return probe;
}

// Marks the map as running for its length: a map asked for from a callback
// meanwhile is refused.
int32_t RunMap(DriverContext& ctx) {
  const ScopedMode running(ctx.mapRunning, 1);
  // Probes, their echoes and the answers: one watch over the line for the
  // whole map.
  ReaderWatch watch(ctx);
  ctx.mapAbortRequested = 0;
  for (int32_t address = kFirstMapAddress; address <= kLastMapAddress; ++address) {
    switch (ProbeAddress(ctx, address)) {
      case Probe::kAborted: return 1;
      case Probe::kTableFull:
      case Probe::kSendFailed: return 0;
      case Probe::kNextAddress:
      case Probe::kBusy: break;  // an address still busy after the retries is passed over
    }
  }
  return 1;
}

}  // namespace

namespace services {

std::string ProductName(DriverContext& ctx, uint8_t product) {
  if (product >= kFirstSpecialBuild) return "[special build]";
  return ctx.platform.ProfileString("DeviceIDs", std::to_string(product), "[product unknown]", "Orlindo.inf",
                                    kProductNameSize);
}

}  // namespace services

int32_t IdentifyDevice(DriverContext& ctx, int32_t address, InfoCallback info, SendFailures failures,
                       uint8_t* out) {
  if (Low16(address) == ctx.settings.localAddress) return AnswerForLocalStation(ctx, address, info);
  if (IsOpen(ctx) == 0) return 0;
  DeviceIdentity own;
  uint8_t* answer = out != nullptr ? out : own.bytes;
  link::FrameHeader header;
  StationRequest request;
  request.kind = RQ_IDENTIFY;
  request.address = address;
  request.message = kIdentifyRequest;
  request.postOnly = failures == SendFailures::kPosted;
  if (!AskStation(ctx, request, &header, answer)) return 0;
  if (info == InfoCallback::kOnFirmwareInfo) {
    DeviceIdentity identity;
    std::copy(answer, answer + 6, identity.bytes);
    ReportFirmwareInfo(ctx, header.source, identity);
  }
  return 1;
}

int32_t GetFirmwareInfo(DriverContext& ctx, int32_t address) {
  return IdentifyDevice(ctx, address, InfoCallback::kOnFirmwareInfo, SendFailures::kShown, nullptr);
}

int32_t MakeMap(DriverContext& ctx) {
  if (ctx.mapRunning != 0 || IsOpen(ctx) == 0) return 0;
  const int32_t result = RunMap(ctx);
  ctx.mapAbortRequested = 0;
  Notify(ctx, &ClientCallbacks::onMapProgress, 0);
  return result;
}

void MapAbort(DriverContext& ctx) { ctx.mapAbortRequested = 1; }

}  // namespace zeva
