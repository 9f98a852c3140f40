#include "service_rig.h"

#include <cstdio>

#include "link/frame.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "runtime/wait.h"

namespace zeva::services_test {

Rig* Rig::current = nullptr;

namespace {

constexpr unsigned kLaterMessage = 0x0401;

std::string Text(const char* text) { return text != nullptr ? text : "(null)"; }

void ZEVA_CALLBACK RecordMapProgress(int32_t address) {
  Rig::current->mapProgress.push_back(address);
  if (Rig::current->onMapProgress) Rig::current->onMapProgress(address);
}

void ZEVA_CALLBACK RecordDeviceFound(int32_t address, const char* serial, int32_t product, int32_t low,
                                     int32_t high) {
  Rig::current->found.push_back({address, Text(serial), product, low, high});
}

void ZEVA_CALLBACK RecordFirmwareInfo(int32_t address, const char* serial, int32_t product, const char* name,
                                      int32_t low, int32_t high, const char* version) {
  Rig::current->firmware.push_back({address, Text(serial), product, Text(name), low, high, Text(version)});
}

void ZEVA_CALLBACK RecordRemoteError(int32_t address, int32_t code, const char* report) {
  Rig::current->remoteErrors.push_back({address, code, Text(report)});
}

void ZEVA_CALLBACK RecordProgress(int32_t value, const char* text) {
  Rig::current->progress.push_back({value, Text(text)});
  if (Rig::current->onProgress) Rig::current->onProgress(Rig::current->progress.back());
}

void ZEVA_CALLBACK RecordQueryReply(int32_t address, const uint8_t* reply, int32_t tag) {
  Rig::current->replies.push_back({address, Bytes(reply, reply + 6), tag});
}

void ZEVA_CALLBACK RecordProgramDone() { ++Rig::current->programDone; }

void ZEVA_CALLBACK RecordError(int32_t code, const char* text) {
  Rig::current->errors.push_back({code, Text(text)});
  if (Rig::current->onError) Rig::current->onError(Rig::current->errors.back());
}

LRESULT ZEVA_WINDOW_PROC ClientProc(HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
  Rig* rig = Rig::current;
  if (rig != nullptr && message == kLaterMessage && rig->later) {
    auto fn = std::move(rig->later);
    rig->later = nullptr;
    fn();
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

Rig::Rig(const sim::BusConfig& config, bool open) : SimDriver(config) {
  current = this;
  ClientCallbacks callbacks;
  callbacks.onMapProgress = &RecordMapProgress;
  callbacks.onDeviceFound = &RecordDeviceFound;
  callbacks.onFirmwareInfo = &RecordFirmwareInfo;
  callbacks.onRemoteError = &RecordRemoteError;
  callbacks.onProgress = &RecordProgress;
  callbacks.onQueryReply = &RecordQueryReply;
  callbacks.onProgramDone = &RecordProgramDone;
  callbacks.onDriverError = &RecordError;
  Start(callbacks, &ClientProc);
  // The services reopen the port for the client window, so it is known
  // even when the port starts closed.
  SetClientHWND(ctx, window);
  if (open && OpenCOM(ctx, window) != 1) std::fprintf(stderr, "Rig: OpenCOM failed\n");
}

Rig::~Rig() {
  Stop();
  current = nullptr;
}

void Rig::MakeChannelBusy() { ctx.core.flags.Set(SF_TX_ACTIVE | SF_ECHO_PENDING); }
void Rig::FreeChannel() { ctx.core.flags.Clear(SF_TX_ACTIVE | SF_ECHO_PENDING); }

void Rig::Later(std::function<void()> fn) {
  later = std::move(fn);
  PostMessageA(window, kLaterMessage, 0, 0);
}

std::vector<Bytes> Rig::HostRequests(uint8_t code) const {
  std::vector<Bytes> out;
  for (const Bytes& f : HostDataFrames()) {
    if (link::ControlType(f[3]) == 1 && f[9] == code) out.push_back(f);
  }
  return out;
}

std::vector<sim::CommandRecord> CommandsOf(const sim::Device& device, sim::Command kind) {
  std::vector<sim::CommandRecord> out;
  for (const sim::CommandRecord& c : device.commands()) {
    if (c.command == kind) out.push_back(c);
  }
  return out;
}

Bytes DataOf(const Bytes& frame) { return Bytes(frame.begin() + 4, frame.begin() + 10); }

}  // namespace zeva::services_test
