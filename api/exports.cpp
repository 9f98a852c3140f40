// The exported function table: each export forwards to the driver code on
// the process's instance, through the guard, so no exception crosses this
// boundary. A caught exception (an allocation the system refused, a client
// callback that threw) ends the call with 0, which is the failure result of
// every export that has a result: not delivered, not open, nothing copied,
// no mask. A void export just returns.

#include "api/instance.h"
#include "core/config.h"
#include "core/guard.h"
#include "core/settings_store.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "services/device_commands.h"
#include "services/identify.h"
#include "services/program.h"
#include "services/query.h"
#include "services/remote_error.h"
#include "transact/data_interface.h"
#include "transact/send.h"
#include "zeva232.h"

using zeva::Guarded;
using zeva::api::Instance;
namespace cfg = zeva::config;

extern "C" {

ZEVA_API int32_t ZEVA_CALL SetCOMPort(int32_t port) noexcept {
  return Guarded([&] { return cfg::SetCOMPort(Instance(), port); });
}
ZEVA_API int32_t ZEVA_CALL GetCOMPort(void) noexcept {
  return Guarded([&] { return cfg::GetCOMPort(Instance()); });
}
ZEVA_API int32_t ZEVA_CALL SetBps(int32_t bps) noexcept {
  return Guarded([&] { return cfg::SetBps(Instance(), bps); });
}
ZEVA_API int32_t ZEVA_CALL GetBps(void) noexcept {
  return Guarded([&] { return cfg::GetBps(Instance()); });
}
ZEVA_API int32_t ZEVA_CALL SetFrameSize(int32_t size) noexcept {
  return Guarded([&] { return cfg::SetFrameSize(Instance(), size); });
}
ZEVA_API int32_t ZEVA_CALL GetFrameSize(void) noexcept {
  return Guarded([&] { return cfg::GetFrameSize(Instance()); });
}
ZEVA_API int32_t ZEVA_CALL SetRXbuffer(int32_t size) noexcept {
  return Guarded([&] { return cfg::SetRXbuffer(Instance(), size); });
}
ZEVA_API int32_t ZEVA_CALL GetRXbuffer(void) noexcept {
  return Guarded([&] { return cfg::GetRXbuffer(Instance()); });
}
ZEVA_API int32_t ZEVA_CALL SetTXbuffer(int32_t size) noexcept {
  return Guarded([&] { return cfg::SetTXbuffer(Instance(), size); });
}
ZEVA_API int32_t ZEVA_CALL GetTXbuffer(void) noexcept {
  return Guarded([&] { return cfg::GetTXbuffer(Instance()); });
}
ZEVA_API int32_t ZEVA_CALL SetLocalAddress(int32_t address) noexcept {
  return Guarded([&] { return cfg::SetLocalAddress(Instance(), address); });
}
ZEVA_API int32_t ZEVA_CALL getLocalAddr(void) noexcept {
  return Guarded([&] { return cfg::GetLocalAddr(Instance()); });
}
ZEVA_API int32_t ZEVA_CALL SetAdapterID(int32_t id) noexcept {
  return Guarded([&] { return cfg::SetAdapterID(Instance(), id); });
}
ZEVA_API int32_t ZEVA_CALL getAdapterID(void) noexcept {
  return Guarded([&] { return cfg::GetAdapterID(Instance()); });
}
ZEVA_API int32_t ZEVA_CALL SetProtocol(int32_t protocol) noexcept {
  return Guarded([&] { return cfg::SetProtocol(Instance(), protocol); });
}
ZEVA_API int32_t ZEVA_CALL SetPacketTimeout(int32_t ms) noexcept {
  return Guarded([&] { return cfg::SetPacketTimeout(Instance(), ms); });
}
ZEVA_API int32_t ZEVA_CALL getPacketTimeout(void) noexcept {
  return Guarded([&] { return cfg::GetPacketTimeout(Instance()); });
}
ZEVA_API int32_t ZEVA_CALL SetBusyTimeout(int32_t ms) noexcept {
  return Guarded([&] { return cfg::SetBusyTimeout(Instance(), ms); });
}
ZEVA_API int32_t ZEVA_CALL getBusyTimeout(void) noexcept {
  return Guarded([&] { return cfg::GetBusyTimeout(Instance()); });
}
ZEVA_API void ZEVA_CALL SaveSettings(void) noexcept {
  Guarded([&] { zeva::SaveSettings(Instance()); });
}

ZEVA_API int32_t ZEVA_CALL SetSpy(int32_t flag) noexcept {
  return Guarded([&] { return cfg::SetSpy(Instance(), flag); });
}
ZEVA_API int32_t ZEVA_CALL getSpy(void) noexcept {
  return Guarded([&] { return Instance().core.switches.spy; });
}
ZEVA_API int32_t ZEVA_CALL SetAutoEcho(int32_t flag) noexcept {
  return Guarded([&] { return cfg::SetAutoEcho(Instance(), flag); });
}
ZEVA_API int32_t ZEVA_CALL getAutoEcho(void) noexcept {
  return Guarded([&] { return Instance().core.switches.autoReply; });
}
ZEVA_API int32_t ZEVA_CALL SetNoAck(int32_t flag) noexcept {
  return Guarded([&] { return cfg::SetNoAck(Instance(), flag); });
}
ZEVA_API int32_t ZEVA_CALL getNoAck(void) noexcept {
  return Guarded([&] { return Instance().core.switches.noAck; });
}
ZEVA_API int32_t ZEVA_CALL SetEchoCheck(int32_t flag) noexcept {
  return Guarded([&] { return cfg::SetEchoCheck(Instance(), flag); });
}
ZEVA_API int32_t ZEVA_CALL GetEchoCheck(void) noexcept {
  return Guarded([&] { return Instance().core.switches.echoCheck; });
}
ZEVA_API int32_t ZEVA_CALL SetNoErrMsgBox(int32_t flag) noexcept {
  return Guarded([&] { return cfg::SetNoErrMsgBox(Instance(), flag); });
}
ZEVA_API int32_t ZEVA_CALL FreezeEvents(int32_t flag) noexcept {
  return Guarded([&] { return cfg::FreezeEvents(Instance(), flag); });
}
ZEVA_API int32_t ZEVA_CALL SetType(int32_t type) noexcept {
  return Guarded([&] { return zeva::SetType(Instance(), type); });
}
ZEVA_API int32_t ZEVA_CALL SetResponseMsg(int32_t code) noexcept {
  return Guarded([&] { return cfg::SetResponseMsg(Instance(), code); });
}
ZEVA_API int32_t ZEVA_CALL GetLastProgramError(void) noexcept {
  return Guarded([&] { return Instance().services.lastProgramError; });
}

ZEVA_API int32_t ZEVA_CALL GetZEVADriverVersion(char* buffer, int32_t length) noexcept {
  return Guarded([&] { return cfg::GetZEVADriverVersion(Instance(), buffer, length); });
}
ZEVA_API int32_t ZEVA_CALL copystring(const char* source, char* destination, int32_t size) noexcept {
  return Guarded([&] { return cfg::CopyString(source, destination, size); });
}

ZEVA_API int32_t ZEVA_CALL ClearBuffer(void) noexcept {
  return Guarded([&] { return zeva::ClearBuffer(Instance()); });
}
ZEVA_API void ZEVA_CALL SetInt(int32_t value, int32_t index) noexcept {
  Guarded([&] { zeva::SetInt(Instance(), value, index); });
}
ZEVA_API void ZEVA_CALL SetByte(int32_t value, int32_t index) noexcept {
  Guarded([&] { zeva::SetByte(Instance(), value, index); });
}
ZEVA_API int32_t ZEVA_CALL SetOut(int32_t bit, int32_t value) noexcept {
  return Guarded([&] { return zeva::SetOut(Instance(), bit, value); });
}
ZEVA_API int32_t ZEVA_CALL GetInt(const uint8_t* block, int32_t index) noexcept {
  return Guarded([&] { return zeva::GetInt(block, index); });
}
ZEVA_API int32_t ZEVA_CALL GetByte(const uint8_t* block, int32_t index) noexcept {
  return Guarded([&] { return zeva::GetByte(block, index); });
}
ZEVA_API int32_t ZEVA_CALL GetType(const uint8_t* block) noexcept {
  return Guarded([&] { return zeva::GetType(block); });
}

ZEVA_API int32_t ZEVA_CALL Send(int32_t address, int32_t type, int32_t mode) noexcept {
  return Guarded([&] { return zeva::Send(Instance(), address, type, mode); });
}
ZEVA_API int32_t ZEVA_CALL SendData(int32_t address, int32_t mode, int32_t type, const uint8_t* data,
                                    int32_t length) noexcept {
  return Guarded([&] { return zeva::SendData(Instance(), address, mode, type, data, length); });
}
ZEVA_API int32_t ZEVA_CALL sendRaw(uint8_t* bytes, int32_t length, int16_t* result, int32_t wholeFrame) noexcept {
  return Guarded([&] { return zeva::SendRaw(Instance(), bytes, length, result, wholeFrame); });
}
ZEVA_API int32_t ZEVA_CALL TestStream(int32_t fill, int32_t count) noexcept {
  return Guarded([&] { return zeva::TestStream(Instance(), fill, count); });
}

// --- port and client notification ------------------------------------------

ZEVA_API int32_t ZEVA_CALL OpenCOM(HWND window) noexcept {
  return Guarded([&] { return zeva::OpenCOM(Instance(), window); });
}
ZEVA_API void ZEVA_CALL CloseCOM(void) noexcept {
  Guarded([&] { zeva::CloseCOM(Instance()); });
}
ZEVA_API int32_t ZEVA_CALL IsOpen(void) noexcept {
  return Guarded([&] { return zeva::IsOpen(Instance()); });
}

ZEVA_API void ZEVA_CALL SetCallbackEvents(ZEVA_ON_LINE_ERROR onLineError, ZEVA_ON_DATA_RECEIVED onDataReceived,
                                          ZEVA_ON_MAP_PROGRESS onMapProgress, ZEVA_ON_DEVICE_FOUND onDeviceFound,
                                          ZEVA_ON_FIRMWARE_INFO onFirmwareInfo, ZEVA_ON_REMOTE_ERROR onRemoteError,
                                          ZEVA_ON_PROGRESS onProgress, ZEVA_ON_QUERY_REPLY onQueryReply,
                                          ZEVA_ON_PROGRAM_DONE onProgramDone,
                                          ZEVA_ON_DRIVER_ERROR onDriverError) noexcept {
  Guarded([&] {
    zeva::SetCallbackEvents(Instance(), {onLineError, onDataReceived, onMapProgress, onDeviceFound, onFirmwareInfo,
                                         onRemoteError, onProgress, onQueryReply, onProgramDone, onDriverError});
  });
}
ZEVA_API void ZEVA_CALL SetClientHWND(HWND window) noexcept {
  Guarded([&] { zeva::SetClientHWND(Instance(), window); });
}

// --- device services ---------------------------------------------------------

ZEVA_API int32_t ZEVA_CALL Reboot(int32_t address) noexcept {
  return Guarded([&] { return zeva::Reboot(Instance(), address); });
}
ZEVA_API int32_t ZEVA_CALL ClearRemoteError(int32_t address) noexcept {
  return Guarded([&] { return zeva::ClearRemoteError(Instance(), address); });
}
ZEVA_API int32_t ZEVA_CALL Stop(int32_t address) noexcept {
  return Guarded([&] { return zeva::Stop(Instance(), address); });
}
ZEVA_API int32_t ZEVA_CALL ResetComm(int32_t address) noexcept {
  return Guarded([&] { return zeva::ResetComm(Instance(), address); });
}
ZEVA_API int32_t ZEVA_CALL Restart(void) noexcept {
  return Guarded([&] { return zeva::Restart(Instance()); });
}
ZEVA_API int32_t ZEVA_CALL GetFirmwareInfo(int32_t address) noexcept {
  return Guarded([&] { return zeva::GetFirmwareInfo(Instance(), address); });
}
ZEVA_API int32_t ZEVA_CALL MakeMap(void) noexcept {
  return Guarded([&] { return zeva::MakeMap(Instance()); });
}
ZEVA_API void ZEVA_CALL MapAbort(void) noexcept {
  Guarded([&] { zeva::MapAbort(Instance()); });
}
ZEVA_API int32_t ZEVA_CALL GetRemoteError(int32_t address) noexcept {
  return Guarded([&] { return zeva::GetRemoteError(Instance(), address); });
}
ZEVA_API int32_t ZEVA_CALL Query(int32_t address, const uint8_t* data, int32_t quiet, int32_t tag) noexcept {
  return Guarded([&] { return zeva::Query(Instance(), address, data, quiet, tag); });
}
ZEVA_API int32_t ZEVA_CALL SetAddrID(const char* serial, int32_t address, int32_t percentage) noexcept {
  return Guarded([&] { return zeva::SetAddrID(Instance(), serial, address, percentage); });
}
ZEVA_API int32_t ZEVA_CALL Program(const char* serial, int32_t address, int32_t product, int32_t minLow,
                                   int32_t minHigh, const uint8_t* data, int32_t length) noexcept {
  return Guarded([&] { return zeva::Program(Instance(), serial, address, product, minLow, minHigh, data, length); });
}
ZEVA_API int32_t ZEVA_CALL ProgramDirect(const char* serial, int32_t address, int32_t product, int32_t minLow,
                                         int32_t minHigh, const uint8_t* data, int32_t length) noexcept {
  return Guarded(
      [&] { return zeva::ProgramDirect(Instance(), serial, address, product, minLow, minHigh, data, length); });
}

}  // extern "C"
