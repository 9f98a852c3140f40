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

int32_t AnswerForLocalStation(services::ServiceState& ctx, int32_t address, InfoCallback info) {
  if (info == InfoCallback::kOnFirmwareInfo) {
    char version[kVersionTextSize] = {};
    config::GetZEVADriverVersion(ctx, version, kVersionTextSize);
    Notify(ctx, &ClientCallbacks::onFirmwareInfo, Widen16(Low16(address)), "S000000", 0,
           "[WIN32 ZEVA COM Driver]", 0, 0, static_cast<const char*>(version));
  }
  return 1;
}

void ReportFirmwareInfo(services::ServiceState& ctx, uint8_t source, const DeviceIdentity& id) {
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

void ReportDeviceFound(services::ServiceState& ctx, int32_t address, const DeviceIdentity& id) {
  const SerialText serial(id, true);
  Notify(ctx, &ClientCallbacks::onDeviceFound, address, static_cast<const char*>(serial.text),
         static_cast<int32_t>(id.product()), static_cast<int32_t>(id.versionLow()),
         static_cast<int32_t>(id.versionHigh()));
}

// One address, probed again after a busy channel; answers from other
// stations (a nested request may have caught them) only restart the wait.
Exchanged ProbeAddress(services::ServiceState& ctx, int32_t address) {
  Exchange probe;
  probe.kind = RQ_IDENTIFY;
  probe.station = Low8(address);
  probe.message = kIdentifyRequest;
  probe.mode = kModeUnacked;
  probe.waitOnOtherStations = true;
  probe.beforeAttempt = [&ctx, address] {
    Notify(ctx, &ClientCallbacks::onMapProgress, address);
    return ctx.mapAbortRequested == 0;
  };
  probe.retryOf = [](Exchanged e) { return e == Exchanged::kBusy ? Retry::kAfterPause : Retry::kNo; };
  link::FrameHeader header;
  DeviceIdentity identity;
  const Exchanged ending = ExchangeWithStation(ctx, probe, &header, identity.bytes);
  if (ending == Exchanged::kAnswered) ReportDeviceFound(ctx, address, identity);
  // A channel still busy after the retries passes the address over.
  if (ending != Exchanged::kBusy) ReportExchangeFailure(ctx, ending, false);
  return ending;
}

// Marks the map as running for its length: a map asked for from a callback
// meanwhile is refused.
int32_t RunMap(services::ServiceState& ctx) {
  const ScopedMode running(ctx.mapRunning, 1);
  // Probes, their echoes and the answers: one watch over the line for the
  // whole map.
  ReaderWatch watch(ctx);
  ctx.mapAbortRequested = 0;
  for (int32_t address = kFirstMapAddress; address <= kLastMapAddress; ++address) {
    switch (ProbeAddress(ctx, address)) {
      case Exchanged::kAborted: return 1;
      case Exchanged::kTableFull:
      case Exchanged::kSendFailed: return 0;
      case Exchanged::kAnswered:
      case Exchanged::kNoAnswer:
      case Exchanged::kBusy: break;
    }
  }
  return 1;
}

}  // namespace

namespace services {

std::string ProductName(services::ServiceState& ctx, uint8_t product) {
  if (product >= kFirstSpecialBuild) return "[special build]";
  return ctx.core.platform.ProfileString("DeviceIDs", std::to_string(product), "[product unknown]", "Orlindo.inf",
                                    kProductNameSize);
}

}  // namespace services

int32_t IdentifyDevice(services::ServiceState& ctx, int32_t address, InfoCallback info, SendFailures failures,
                       uint8_t* out) {
  if (Low16(address) == ctx.core.settings.localAddress) return AnswerForLocalStation(ctx, address, info);
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

int32_t GetFirmwareInfo(services::ServiceState& ctx, int32_t address) {
  return IdentifyDevice(ctx, address, InfoCallback::kOnFirmwareInfo, SendFailures::kShown, nullptr);
}

int32_t MakeMap(services::ServiceState& ctx) {
  if (ctx.mapRunning != 0 || IsOpen(ctx) == 0) return 0;
  const int32_t result = RunMap(ctx);
  ctx.mapAbortRequested = 0;
  Notify(ctx, &ClientCallbacks::onMapProgress, 0);
  return result;
}

void MapAbort(services::ServiceState& ctx) { ctx.mapAbortRequested = 1; }

}  // namespace zeva
