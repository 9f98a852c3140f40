// The configuration API: setters and getters of the settings and switches,
// with the clamps and results the exported functions give. Every function
// takes the 32-bit argument slot as the export receives it.
#pragma once

#include <cstdint>

#include "core/driver_context.h"

namespace zeva::config {

int32_t SetCOMPort(DriverContext& ctx, int32_t port);
int32_t GetCOMPort(const DriverContext& ctx);
int32_t SetBps(DriverContext& ctx, int32_t bps);
int32_t GetBps(const DriverContext& ctx);
int32_t SetFrameSize(DriverContext& ctx, int32_t size);
int32_t GetFrameSize(const DriverContext& ctx);
int32_t SetRXbuffer(DriverContext& ctx, int32_t size);
int32_t GetRXbuffer(const DriverContext& ctx);
int32_t SetTXbuffer(DriverContext& ctx, int32_t size);
int32_t GetTXbuffer(const DriverContext& ctx);
int32_t SetLocalAddress(DriverContext& ctx, int32_t address);
int32_t GetLocalAddr(const DriverContext& ctx);
int32_t SetAdapterID(DriverContext& ctx, int32_t id);
int32_t GetAdapterID(const DriverContext& ctx);
int32_t SetProtocol(DriverContext& ctx, int32_t protocol);
int32_t SetPacketTimeout(DriverContext& ctx, int32_t ms);
int32_t GetPacketTimeout(const DriverContext& ctx);
int32_t SetBusyTimeout(DriverContext& ctx, int32_t ms);
int32_t GetBusyTimeout(const DriverContext& ctx);
int32_t SetType(DriverContext& ctx, int32_t type);
int32_t SetSpy(DriverContext& ctx, int32_t flag);
int32_t SetAutoEcho(DriverContext& ctx, int32_t flag);
int32_t SetNoAck(DriverContext& ctx, int32_t flag);
int32_t SetEchoCheck(DriverContext& ctx, int32_t flag);
int32_t SetNoErrMsgBox(DriverContext& ctx, int32_t flag);
int32_t FreezeEvents(DriverContext& ctx, int32_t flag);
int32_t SetResponseMsg(DriverContext& ctx, int32_t code);

// The version text with commas turned into points ("1. 2. 0. 19"), copied
// into buffer when it fits; returns its length either way.
int32_t GetZEVADriverVersion(DriverContext& ctx, char* buffer, int32_t length);
int32_t CopyString(const char* source, char* destination, int32_t size);

}  // namespace zeva::config
