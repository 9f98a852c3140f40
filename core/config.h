// The configuration API: setters and getters of the settings and switches,
// with the clamps and results the exported functions give. Every function
// takes the 32-bit argument slot as the export receives it.
#pragma once

#include <cstdint>

#include "core/core_state.h"

namespace zeva::config {

int32_t SetCOMPort(core::CoreState& ctx, int32_t port);
int32_t GetCOMPort(const core::CoreState& ctx);
int32_t SetBps(core::CoreState& ctx, int32_t bps);
int32_t GetBps(const core::CoreState& ctx);
int32_t SetFrameSize(core::CoreState& ctx, int32_t size);
int32_t GetFrameSize(const core::CoreState& ctx);
int32_t SetRXbuffer(core::CoreState& ctx, int32_t size);
int32_t GetRXbuffer(const core::CoreState& ctx);
int32_t SetTXbuffer(core::CoreState& ctx, int32_t size);
int32_t GetTXbuffer(const core::CoreState& ctx);
int32_t SetLocalAddress(core::CoreState& ctx, int32_t address);
int32_t GetLocalAddr(const core::CoreState& ctx);
int32_t SetAdapterID(core::CoreState& ctx, int32_t id);
int32_t GetAdapterID(const core::CoreState& ctx);
int32_t SetProtocol(core::CoreState& ctx, int32_t protocol);
int32_t SetPacketTimeout(core::CoreState& ctx, int32_t ms);
int32_t GetPacketTimeout(const core::CoreState& ctx);
int32_t SetBusyTimeout(core::CoreState& ctx, int32_t ms);
int32_t GetBusyTimeout(const core::CoreState& ctx);
int32_t SetSpy(core::CoreState& ctx, int32_t flag);
int32_t SetAutoEcho(core::CoreState& ctx, int32_t flag);
int32_t SetNoAck(core::CoreState& ctx, int32_t flag);
int32_t SetEchoCheck(core::CoreState& ctx, int32_t flag);
int32_t SetNoErrMsgBox(core::CoreState& ctx, int32_t flag);
int32_t FreezeEvents(core::CoreState& ctx, int32_t flag);
int32_t SetResponseMsg(core::CoreState& ctx, int32_t code);

// The version text with commas turned into points ("1. 2. 0. 19"), copied
// into buffer when it fits; returns its length either way.
int32_t GetZEVADriverVersion(core::CoreState& ctx, char* buffer, int32_t length);
int32_t CopyString(const char* source, char* destination, int32_t size);

}  // namespace zeva::config
