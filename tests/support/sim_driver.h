// The driver over the deterministic platform with its COM port wired to a
// simulated bus: what the transaction and device-service tests start from.
// Time is virtual; the wire is the simulator's trace. The rigs of those
// tests derive from it and record the client callbacks they care about.
#pragma once

#include <cstdint>
#include <vector>

#include "api/driver_context.h"
#include "sim/bus.h"
#include "support/fixture.h"
#include "support/frames.h"

namespace zeva::test {

// A valid frame on the line.
struct WireFrame {
  sim::Talker talker;
  Bytes bytes;
  uint64_t startUs = 0;
  uint64_t endUs = 0;
};

class SimDriver {
 public:
  explicit SimDriver(const sim::BusConfig& config = {}, uint32_t startTick = 1000);
  ~SimDriver();
  SimDriver(const SimDriver&) = delete;
  SimDriver& operator=(const SimDriver&) = delete;

  sim::Bus bus;  // outlives the driver, which closes the port at its end
  DriverFixture fx;
  DriverContext& ctx;
  HWND window = nullptr;

  sim::Device& AddDevice(uint8_t address, uint32_t serial = 0x01A2B3, uint8_t product = 5,
                         uint8_t versionHigh = 2, uint8_t versionLow = 7);
  uint64_t NowUs() const { return fx.platform.NowUs(); }
  // Lets virtual time pass while the client thread serves its queue, the
  // way every wait of the driver does.
  void RunMs(uint32_t ms);

  // Valid frames on the line, in order; WireFrames(kHost) only the host's.
  std::vector<WireFrame> WireFrames() const;
  std::vector<WireFrame> WireFrames(sim::TalkerKind talker) const;
  // The host's data frames (not its acknowledgements or short frames).
  std::vector<Bytes> HostDataFrames() const;

 protected:
  // Installs the client's callbacks and creates its window with `proc`.
  void Start(const ClientCallbacks& callbacks, WNDPROC proc);
  // Closes the port, gives the window its procedure back and destroys it.
  // A rig calls it before it stops recording, so nothing the close reports
  // reaches a rig that is gone.
  void Stop();
};

}  // namespace zeva::test
