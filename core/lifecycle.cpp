// Library start and end.
#include <new>

#include "core/config.h"
#include "core/driver_context.h"
#include "core/settings_store.h"
#include "serial/bridge.h"
#include "serial/port.h"
#include "transact/data_interface.h"

namespace zeva {
namespace {

void AttachBox(DriverContext& ctx, const char* text) { ctx.platform.ShowBox(text, kDriverCaption, MB_ICONERROR); }

// Steps 2 to 6 of the start: the private heap and the PortContext with its
// receive accumulator. The PortContext is either complete or none.
void BuildPortContext(DriverContext& ctx) {
  ctx.heapCreated = ctx.platform.CreateDriverHeap();
  if (!ctx.heapCreated) {
    AttachBox(ctx, "Not enough memory");
    return;
  }
  std::unique_ptr<PortContext> port(new (std::nothrow) PortContext);
  if (!port) {
    AttachBox(ctx, "Not enough memory, cannot create gComEvt memory object");
    return;
  }
  port->rx.reset(new (std::nothrow) LinkBuffer);
  if (!port->rx) {
    AttachBox(ctx, "Out of memory\nOperating system refused the required new memory object 'gDS in GetComEvent'");
    return;
  }
  ctx.portContext = std::move(port);
}

}  // namespace

void ProcessAttach(DriverContext& ctx) {
  ctx.clientWindow = nullptr;
  ctx.savedWindowProc = nullptr;
  ctx.subclassedWindow = nullptr;
  ctx.eventMessageId = 0;
  ctx.portContext.reset();
  BuildPortContext(ctx);

  ctx.portHandle.reset();
  ctx.programmingMode = 0;
  ctx.awaitedResponseCode = 0;
  ctx.eventThread.reset();

  ctx.requests.reset(new (std::nothrow) LinkBuffer);
  ctx.echo.reset(new (std::nothrow) link::EchoTracker(ctx.flags));
  if (!ctx.requests || !ctx.echo) AttachBox(ctx, "Not enough memory");

  LoadSettings(ctx);
  config::SetAdapterID(ctx, ctx.settings.adapterId);
  ClearBuffer(ctx);
  ctx.sw.spy = 0;
  ctx.sw.autoEcho = 1;
  ctx.sw.noAck = 0;
  ctx.mapAbortRequested = 0;
  ctx.mapRunning = 0;
}

void ProcessDetach(DriverContext& ctx) {
  CloseCOM(ctx);
  DetachWindowBridge(ctx);
  ctx.requests.reset();
  ctx.echo.reset();
  if (ctx.heapCreated) {
    ctx.portContext.reset();
    ctx.heapCreated = false;
  }
}

}  // namespace zeva
