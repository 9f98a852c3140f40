#include "support/sim_driver.h"

#include "link/frame.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "runtime/wait.h"

namespace zeva::test {

SimDriver::SimDriver(const sim::BusConfig& config, uint32_t startTick)
    : bus(config), fx(startTick), ctx(*fx.ctx) {
  ctx.core.settings.protocol = config.protocol;
  ctx.core.settings.localAddress = config.localAddress;
  fx.platform.AttachLine(ctx.core.settings.port, &bus);
}

SimDriver::~SimDriver() { Stop(); }

void SimDriver::Start(const ClientCallbacks& callbacks, WNDPROC proc) {
  SetCallbackEvents(ctx, callbacks);
  window = CreateMessageWindow(proc);
}

void SimDriver::Stop() {
  if (window == nullptr) return;
  CloseCOM(ctx);
  DetachWindowBridge(ctx);
  DestroyWindow(window);
  window = nullptr;
}

sim::Device& SimDriver::AddDevice(uint8_t address, uint32_t serial, uint8_t product, uint8_t versionHigh,
                                  uint8_t versionLow) {
  sim::DeviceConfig config;
  config.address = address;
  config.serial = serial;
  config.product = product;
  config.versionHigh = versionHigh;
  config.versionLow = versionLow;
  return bus.AddDevice(config);
}

void SimDriver::RunMs(uint32_t ms) { WaitForFlags(ctx, ms, 0); }

std::vector<WireFrame> SimDriver::WireFrames() const {
  std::vector<WireFrame> frames;
  for (const sim::TraceEntry& e : bus.trace()) {
    if (e.kind == sim::TraceEntry::Kind::kFrame) frames.push_back({e.talker, e.bytes, e.startUs, e.endUs});
  }
  return frames;
}

std::vector<WireFrame> SimDriver::WireFrames(sim::TalkerKind talker) const {
  std::vector<WireFrame> frames;
  for (WireFrame& f : WireFrames()) {
    if (f.talker.kind == talker) frames.push_back(std::move(f));
  }
  return frames;
}

std::vector<Bytes> SimDriver::HostDataFrames() const {
  std::vector<Bytes> out;
  for (WireFrame& f : WireFrames(sim::TalkerKind::kHost)) {
    if (f.bytes.size() == link::kDataFrameSize) out.push_back(std::move(f.bytes));
  }
  return out;
}

}  // namespace zeva::test
