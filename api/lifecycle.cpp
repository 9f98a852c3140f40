#include "api/lifecycle.h"

#include <new>

#include "core/config.h"
#include "core/errors.h"
#include "core/settings_store.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "runtime/runtime_state.h"
#include "transact/data_interface.h"
#include "transact/receive.h"
#include "transact/request_table.h"

namespace zeva {
namespace {

// What the bridge runs when a data event reaches the client window.
void DataReady(void* receiver) { RunReceiveLoop(*static_cast<transact::TransactState*>(receiver)); }

}  // namespace

void ProcessAttach(DriverContext& ctx) {
  runtime::StartRuntime(ctx.runtime);
  ctx.runtime.dataReady = {&DataReady, &ctx.transact};
  ctx.transact.awaitedResponseCode = 0;
  ctx.transact.requests.reset(new (std::nothrow) RequestTable);
  if (!ctx.transact.requests || !ctx.runtime.echo) {
    ctx.core.platform.ShowBox(kTextNoMemory, kDriverCaption, MB_ICONERROR);
  }

  LoadSettings(ctx);
  config::SetAdapterID(ctx, ctx.core.settings.adapterId);
  ClearBuffer(ctx);
  Switches& switches = ctx.core.switches;
  switches.spy = 0;
  switches.autoReply = 1;
  switches.noAck = 0;
  ctx.services.mapAbortRequested = 0;
  ctx.services.mapRunning = 0;
}

void ProcessDetach(DriverContext& ctx) {
  runtime::StopRuntime(ctx.runtime);
  ctx.transact.requests.reset();
}

}  // namespace zeva
