// The exported function table: each export forwards to the driver code on
// the process's instance. No exception crosses this boundary.
#include <type_traits>

#include "api/instance.h"
#include "core/config.h"
#include "core/settings_store.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "services/device_commands.h"
#include "services/identify.h"
#include "services/program.h"
#include "services/remote_error.h"
#include "transact/data_interface.h"
#include "transact/send.h"
#include "zeva232.h"

using zeva::api::Instance;
namespace cfg = zeva::config;

namespace {
// The device services allocate (texts, request closures); a failure to
// allocate ends the call with its failure result.
template <typename Fn>
int32_t Guarded(Fn fn) {
  try {
    return fn();
  } catch (...) {
    return 0;
  }
}
}  // namespace

extern "C" {

ZEVA_API int32_t ZEVA_CALL SetCOMPort(int32_t port) { return cfg::SetCOMPort(Instance(), port); }
ZEVA_API int32_t ZEVA_CALL GetCOMPort(void) { return cfg::GetCOMPort(Instance()); }
ZEVA_API int32_t ZEVA_CALL SetBps(int32_t bps) { return cfg::SetBps(Instance(), bps); }
ZEVA_API int32_t ZEVA_CALL GetBps(void) { return cfg::GetBps(Instance()); }
ZEVA_API int32_t ZEVA_CALL SetFrameSize(int32_t size) { return cfg::SetFrameSize(Instance(), size); }
ZEVA_API int32_t ZEVA_CALL GetFrameSize(void) { return cfg::GetFrameSize(Instance()); }
ZEVA_API int32_t ZEVA_CALL SetRXbuffer(int32_t size) { return cfg::SetRXbuffer(Instance(), size); }
ZEVA_API int32_t ZEVA_CALL GetRXbuffer(void) { return cfg::GetRXbuffer(Instance()); }
ZEVA_API int32_t ZEVA_CALL SetTXbuffer(int32_t size) { return cfg::SetTXbuffer(Instance(), size); }
ZEVA_API int32_t ZEVA_CALL GetTXbuffer(void) { return cfg::GetTXbuffer(Instance()); }
ZEVA_API int32_t ZEVA_CALL SetLocalAddress(int32_t address) { return cfg::SetLocalAddress(Instance(), address); }
ZEVA_API int32_t ZEVA_CALL getLocalAddr(void) { return cfg::GetLocalAddr(Instance()); }
ZEVA_API int32_t ZEVA_CALL SetAdapterID(int32_t id) { return cfg::SetAdapterID(Instance(), id); }
ZEVA_API int32_t ZEVA_CALL getAdapterID(void) { return cfg::GetAdapterID(Instance()); }
ZEVA_API int32_t ZEVA_CALL SetProtocol(int32_t protocol) { return cfg::SetProtocol(Instance(), protocol); }
ZEVA_API int32_t ZEVA_CALL SetPacketTimeout(int32_t ms) { return cfg::SetPacketTimeout(Instance(), ms); }
ZEVA_API int32_t ZEVA_CALL getPacketTimeout(void) { return cfg::GetPacketTimeout(Instance()); }
ZEVA_API int32_t ZEVA_CALL SetBusyTimeout(int32_t ms) { return cfg::SetBusyTimeout(Instance(), ms); }
ZEVA_API int32_t ZEVA_CALL getBusyTimeout(void) { return cfg::GetBusyTimeout(Instance()); }
ZEVA_API void ZEVA_CALL SaveSettings(void) { zeva::SaveSettings(Instance()); }

ZEVA_API int32_t ZEVA_CALL SetSpy(int32_t flag) { return cfg::SetSpy(Instance(), flag); }
ZEVA_API int32_t ZEVA_CALL getSpy(void) { return Instance().sw.spy; }
ZEVA_API int32_t ZEVA_CALL SetAutoEcho(int32_t flag) { return cfg::SetAutoEcho(Instance(), flag); }
ZEVA_API int32_t ZEVA_CALL getAutoEcho(void) { return Instance().sw.autoEcho; }
ZEVA_API int32_t ZEVA_CALL SetNoAck(int32_t flag) { return cfg::SetNoAck(Instance(), flag); }
ZEVA_API int32_t ZEVA_CALL getNoAck(void) { return Instance().sw.noAck; }
ZEVA_API int32_t ZEVA_CALL SetEchoCheck(int32_t flag) { return cfg::SetEchoCheck(Instance(), flag); }
ZEVA_API int32_t ZEVA_CALL GetEchoCheck(void) { return Instance().sw.echoCheck; }
ZEVA_API int32_t ZEVA_CALL SetNoErrMsgBox(int32_t flag) { return cfg::SetNoErrMsgBox(Instance(), flag); }
ZEVA_API int32_t ZEVA_CALL FreezeEvents(int32_t flag) { return cfg::FreezeEvents(Instance(), flag); }
ZEVA_API int32_t ZEVA_CALL SetType(int32_t type) { return cfg::SetType(Instance(), type); }
ZEVA_API int32_t ZEVA_CALL SetResponseMsg(int32_t code) { return cfg::SetResponseMsg(Instance(), code); }
ZEVA_API int32_t ZEVA_CALL GetLastProgramError(void) { return Instance().lastProgramError; }

ZEVA_API int32_t ZEVA_CALL GetZEVADriverVersion(char* buffer, int32_t length) {
  return cfg::GetZEVADriverVersion(Instance(), buffer, length);
}
ZEVA_API int32_t ZEVA_CALL copystring(const char* source, char* destination, int32_t size) {
  return cfg::CopyString(source, destination, size);
}

ZEVA_API int32_t ZEVA_CALL ClearBuffer(void) { return zeva::ClearBuffer(Instance()); }
ZEVA_API void ZEVA_CALL SetInt(int32_t value, int32_t index) { zeva::SetInt(Instance(), value, index); }
ZEVA_API void ZEVA_CALL SetByte(int32_t value, int32_t index) { zeva::SetByte(Instance(), value, index); }
ZEVA_API int32_t ZEVA_CALL SetOut(int32_t bit, int32_t value) { return zeva::SetOut(Instance(), bit, value); }
ZEVA_API int32_t ZEVA_CALL GetInt(const uint8_t* block, int32_t index) { return zeva::GetInt(block, index); }
ZEVA_API int32_t ZEVA_CALL GetByte(const uint8_t* block, int32_t index) { return zeva::GetByte(block, index); }
ZEVA_API int32_t ZEVA_CALL GetType(const uint8_t* block) { return zeva::GetType(block); }

ZEVA_API int32_t ZEVA_CALL Send(int32_t address, int32_t type, int32_t mode) {
  return zeva::Send(Instance(), address, type, mode);
}
ZEVA_API int32_t ZEVA_CALL SendData(int32_t address, int32_t mode, int32_t type, const uint8_t* data,
                                    int32_t length) {
  return zeva::SendData(Instance(), address, mode, type, data, length);
}
ZEVA_API int32_t ZEVA_CALL sendRaw(uint8_t* bytes, int32_t length, int16_t* result, int32_t wholeFrame) {
  return zeva::SendRaw(Instance(), bytes, length, result, wholeFrame);
}
ZEVA_API int32_t ZEVA_CALL TestStream(int32_t fill, int32_t count) {
  return zeva::TestStream(Instance(), fill, count);
}

// --- port and client notification ------------------------------------------

ZEVA_API int32_t ZEVA_CALL OpenCOM(HWND window) {
  try {
    return zeva::OpenCOM(Instance(), window);
  } catch (...) {
    return 0;
  }
}
ZEVA_API void ZEVA_CALL CloseCOM(void) { zeva::CloseCOM(Instance()); }
ZEVA_API int32_t ZEVA_CALL IsOpen(void) { return zeva::IsOpen(Instance()); }

ZEVA_API void ZEVA_CALL SetCallbackEvents(ZEVA_ON_LINE_ERROR onLineError, ZEVA_ON_DATA_RECEIVED onDataReceived,
                                          ZEVA_ON_MAP_PROGRESS onMapProgress, ZEVA_ON_DEVICE_FOUND onDeviceFound,
                                          ZEVA_ON_FIRMWARE_INFO onFirmwareInfo, ZEVA_ON_REMOTE_ERROR onRemoteError,
                                          ZEVA_ON_PROGRESS onProgress, ZEVA_ON_QUERY_REPLY onQueryReply,
                                          ZEVA_ON_PROGRAM_DONE onProgramDone, ZEVA_ON_DRIVER_ERROR onDriverError) {
  zeva::SetCallbackEvents(Instance(), {onLineError, onDataReceived, onMapProgress, onDeviceFound, onFirmwareInfo,
                                       onRemoteError, onProgress, onQueryReply, onProgramDone, onDriverError});
}
ZEVA_API void ZEVA_CALL SetClientHWND(HWND window) { zeva::SetClientHWND(Instance(), window); }

// --- device services ---------------------------------------------------------

ZEVA_API int32_t ZEVA_CALL Reboot(int32_t address) { return Guarded([&] { return zeva::Reboot(Instance(), address); }); }
ZEVA_API int32_t ZEVA_CALL ClearRemoteError(int32_t address) {
  return Guarded([&] { return zeva::ClearRemoteError(Instance(), address); });
}
ZEVA_API int32_t ZEVA_CALL Stop(int32_t address) { return Guarded([&] { return zeva::Stop(Instance(), address); }); }
ZEVA_API int32_t ZEVA_CALL ResetComm(int32_t address) {
  return Guarded([&] { return zeva::ResetComm(Instance(), address); });
}
ZEVA_API int32_t ZEVA_CALL Restart(void) { return Guarded([&] { return zeva::Restart(Instance()); }); }
ZEVA_API int32_t ZEVA_CALL GetFirmwareInfo(int32_t address) {
  return Guarded([&] { return zeva::GetFirmwareInfo(Instance(), address); });
}
ZEVA_API int32_t ZEVA_CALL MakeMap(void) { return Guarded([&] { return zeva::MakeMap(Instance()); }); }
ZEVA_API void ZEVA_CALL MapAbort(void) { zeva::MapAbort(Instance()); }
ZEVA_API int32_t ZEVA_CALL GetRemoteError(int32_t address) {
  return Guarded([&] { return zeva::GetRemoteError(Instance(), address); });
}
ZEVA_API int32_t ZEVA_CALL Query(int32_t address, const uint8_t* data, int32_t quiet, int32_t tag) {
  return Guarded([&] { return zeva::Query(Instance(), address, data, quiet, tag); });
}
ZEVA_API int32_t ZEVA_CALL SetAddrID(const char* serial, int32_t address, int32_t percentage) {
  return Guarded([&] { return zeva::SetAddrID(Instance(), serial, address, percentage); });
}
ZEVA_API int32_t ZEVA_CALL Program(const char* serial, int32_t address, int32_t product, int32_t minLow,
                                   int32_t minHigh, const uint8_t* data, int32_t length) {
  return Guarded([&] { return zeva::Program(Instance(), serial, address, product, minLow, minHigh, data, length); });
}
ZEVA_API int32_t ZEVA_CALL ProgramDirect(const char* serial, int32_t address, int32_t product, int32_t minLow,
                                         int32_t minHigh, const uint8_t* data, int32_t length) {
  return Guarded(
      [&] { return zeva::ProgramDirect(Instance(), serial, address, product, minLow, minHigh, data, length); });
}

}  // extern "C"

// The public callback types are the driver's own, slot for slot.
static_assert(std::is_same_v<ZEVA_ON_LINE_ERROR, zeva::OnLineErrorFn>);
static_assert(std::is_same_v<ZEVA_ON_DATA_RECEIVED, zeva::OnDataReceivedFn>);
static_assert(std::is_same_v<ZEVA_ON_MAP_PROGRESS, zeva::OnMapProgressFn>);
static_assert(std::is_same_v<ZEVA_ON_DEVICE_FOUND, zeva::OnDeviceFoundFn>);
static_assert(std::is_same_v<ZEVA_ON_FIRMWARE_INFO, zeva::OnFirmwareInfoFn>);
static_assert(std::is_same_v<ZEVA_ON_REMOTE_ERROR, zeva::OnRemoteErrorFn>);
static_assert(std::is_same_v<ZEVA_ON_PROGRESS, zeva::OnProgressFn>);
static_assert(std::is_same_v<ZEVA_ON_QUERY_REPLY, zeva::OnQueryReplyFn>);
static_assert(std::is_same_v<ZEVA_ON_PROGRAM_DONE, zeva::OnProgramDoneFn>);
static_assert(std::is_same_v<ZEVA_ON_DRIVER_ERROR, zeva::OnDriverErrorFn>);
