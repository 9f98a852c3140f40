#include "services/identify.h"

#include <algorithm>
#include <cstdio>

#include "core/config.h"
#include "core/int16.h"
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

int32_t AnswerForLocalStation(DriverContext& ctx, int32_t address, bool notify) {
  if (notify) {
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

enum class Probe { kNextAddress, kAborted, kFailed };

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

// One address: probed again after a busy channel, passed over after the
// fourth busy answer.
Probe ProbeAddress(DriverContext& ctx, int32_t address) {
  for (int32_t retries = 0;; ++retries) {
    Notify(ctx, &ClientCallbacks::onMapProgress, address);
    if (ctx.mapAbortRequested != 0) return Probe::kAborted;
    link::FrameHeader header;
    DeviceIdentity identity;
    const uint32_t id = ctx.requests->Push(RQ_IDENTIFY, Low8(address), 0,
                                                  reinterpret_cast<uint8_t*>(&header), identity.bytes);
    if (!ctx.requests->lastPushOk()) {
      ReportDriverError(ctx, kErrTooManyRequests, kTextTooManyRequests, false);
      return Probe::kFailed;
    }
    ctx.flags.Clear(SF_IDENTIFY_REPLY);
    const int32_t sent = TransmitMessage(ctx, Low8(address), 1, kIdentifyRequest, 6, TM_UNACKED, 0);
    if (sent == TX_DONE) {
      if (AwaitMapAnswer(ctx, address, id, header)) ReportDeviceFound(ctx, address, identity);
      ctx.requests->Remove(id);
      return Probe::kNextAddress;
    }
    if (sent != TX_BUSY) {
      ctx.requests->Remove(id);
      ReportDriverError(ctx, kErrSendFailed, kTextSendFailed, false);
      return Probe::kFailed;
    }
    BusyPause(ctx);
    ctx.requests->Remove(id);
    if (retries == kBusyRetries) return Probe::kNextAddress;
  }
}

int32_t RunMap(DriverContext& ctx) {
  for (int32_t address = kFirstMapAddress; address <= kLastMapAddress; ++address) {
    switch (ProbeAddress(ctx, address)) {
      case Probe::kAborted: return 1;
      case Probe::kFailed: return 0;
      case Probe::kNextAddress: break;
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

int32_t IdentifyDevice(DriverContext& ctx, int32_t address, bool notify, bool quiet, uint8_t* out) {
  if (Low16(address) == ctx.settings.localAddress) return AnswerForLocalStation(ctx, address, notify);
  if (IsOpen(ctx) == 0) return 0;
  DeviceIdentity own;
  uint8_t* answer = out != nullptr ? out : own.bytes;
  link::FrameHeader header;
  StationRequest request;
  request.kind = RQ_IDENTIFY;
  request.address = address;
  request.message = kIdentifyRequest;
  request.postOnly = quiet;
  if (!AskStation(ctx, request, &header, answer)) return 0;
  if (notify) {
    DeviceIdentity identity;
    std::copy(answer, answer + 6, identity.bytes);
    ReportFirmwareInfo(ctx, header.source, identity);
  }
  return 1;
}

int32_t GetFirmwareInfo(DriverContext& ctx, int32_t address) {
  return IdentifyDevice(ctx, address, true, false, nullptr);
}

int32_t MakeMap(DriverContext& ctx) {
  if (ctx.mapRunning != 0 || IsOpen(ctx) == 0) return 0;
  ctx.mapAbortRequested = 0;
  ctx.mapRunning = 1;
  const int32_t result = RunMap(ctx);
  ctx.mapAbortRequested = 0;
  ctx.mapRunning = 0;
  Notify(ctx, &ClientCallbacks::onMapProgress, 0);
  return result;
}

void MapAbort(DriverContext& ctx) { ctx.mapAbortRequested = 1; }

}  // namespace zeva
