// The host's side of a simulated bus for tests: writes frames built with the
// codec, runs the line in virtual time and keeps what came back.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "link/frame.h"
#include "sim/bus.h"
#include "sim/line_scanner.h"
#include "support/frames.h"

namespace zeva::sim::testing {

using Frame = zeva::test::Bytes;
using zeva::test::Concat;
using zeva::test::ToBytes;

class Host {
 public:
  explicit Host(Bus& bus, platform::SerialConfig config = {}) : bus_(bus) { bus_.HostOpened(config); }

  int32_t protocol() const { return bus_.config().protocol; }
  uint8_t local() const { return bus_.config().localAddress; }

  Frame DataFrame(uint8_t destination, uint8_t control, const Bytes6& data) const {
    return ToBytes(link::EncodeDataFrame(protocol(), destination, local(), control, data.data()));
  }
  // A type-1 request as the host sends it in normal mode (mode 1 with noAck).
  Frame Request(uint8_t destination, const Bytes6& data, bool noAck = false) const {
    const uint8_t control = static_cast<uint8_t>(0xC1 | (noAck || destination == 0 ? link::kNoAckWanted : 0));
    return DataFrame(destination, control, data);
  }

  void Write(const Frame& bytes) { bus_.HostWrite(bytes.data(), bytes.size(), now_); }

  // Runs the line `us` further in one step.
  void Run(uint64_t us) {
    now_ += us;
    Collect(now_);
  }

  // Runs the line event by event up to `untilUs`, keeping each byte's
  // arrival time.
  void RunStepwise(uint64_t untilUs) {
    for (auto next = bus_.NextEventUs(); next && *next <= untilUs; next = bus_.NextEventUs()) {
      now_ = std::max(now_, *next);
      Collect(now_);
    }
    now_ = std::max(now_, untilUs);
    Collect(now_);
  }

  uint64_t now() const { return now_; }
  const std::vector<uint8_t>& received() const { return received_; }
  const std::vector<uint64_t>& arrivals() const { return arrivals_; }
  bool lineError() const { return lineError_; }
  bool hungUp() const { return hungUp_; }
  void Clear() {
    received_.clear();
    arrivals_.clear();
    lineError_ = false;
  }
  // The valid frames among the received bytes, echo included.
  std::vector<Frame> Frames() const { return SplitFrames(protocol(), received_); }

 private:
  void Collect(uint64_t atUs) {
    std::vector<uint8_t> bytes;
    bool lineError = false;
    bool hungUp = false;
    bus_.AdvanceTo(atUs, &bytes, &lineError, &hungUp);
    received_.insert(received_.end(), bytes.begin(), bytes.end());
    arrivals_.insert(arrivals_.end(), bytes.size(), atUs);
    lineError_ = lineError_ || lineError;
    hungUp_ = hungUp;
  }

  Bus& bus_;
  uint64_t now_ = 0;
  std::vector<uint8_t> received_;
  std::vector<uint64_t> arrivals_;
  bool lineError_ = false;
  bool hungUp_ = false;
};

}  // namespace zeva::sim::testing
