#include "api/lifecycle.h"

#include <new>

#include "core/config.h"
#include "core/errors.h"
#include "core/settings_store.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "transact/data_interface.h"
#include "transact/receive.h"
#include "transact/request_table.h"

namespace zeva {
namespace {

void AttachBox(DriverContext& ctx, const char* text) { ctx.platform.ShowBox(text, kDriverCaption, MB_ICONERROR); }

// The PortContext with its receive accumulator: complete or none.
void BuildPortContext(DriverContext& ctx) {
  std::unique_ptr<PortContext> port(new (std::nothrow) PortContext);
  if (!port) {
    AttachBox(ctx, kTextNoMemoryForPort);
    return;
  }
  port->rx.reset(new (std::nothrow) link::ByteQueue);
  if (!port->rx) {
    AttachBox(ctx, kTextNoMemoryForInput);
    return;
  }
  ctx.portContext = std::move(port);
}

}  // namespace

// Out of line, where the request table's type is complete.
DriverContext::DriverContext(platform::Platform& platform) : platform(platform) {}
DriverContext::~DriverContext() = default;

void ProcessAttach(DriverContext& ctx) {
  ctx.clientWindow = nullptr;
  ctx.savedWindowProc = nullptr;
  ctx.subclassedWindow = nullptr;
  ctx.eventMessageId = 0;
  ctx.portContext.reset();
  BuildPortContext(ctx);

  ctx.portHandle.reset();
  ctx.awaitedResponseCode = 0;
  ctx.eventThread.reset();
  ctx.dataReady = RunReceiveLoop;

  ctx.requests.reset(new (std::nothrow) RequestTable);
  ctx.echo.reset(new (std::nothrow) link::EchoTracker(ctx.flags));
  if (!ctx.requests || !ctx.echo) AttachBox(ctx, kTextNoMemory);

  LoadSettings(ctx);
  config::SetAdapterID(ctx, ctx.settings.adapterId);
  ClearBuffer(ctx);
  ctx.switches.spy = 0;
  ctx.switches.autoEcho = 1;
  ctx.switches.noAck = 0;
  ctx.mapAbortRequested = 0;
  ctx.mapRunning = 0;
}

void ProcessDetach(DriverContext& ctx) {
  CloseCOM(ctx);
  DetachWindowBridge(ctx);
  ctx.requests.reset();
  ctx.echo.reset();
  ctx.portContext.reset();
}

}  // namespace zeva
