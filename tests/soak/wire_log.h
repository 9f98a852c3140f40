// What the talkers of a simulated bus meant to send, and what the line made
// of it, for judging a soak run's results against the wire.
//
// Device frames are kept for a window of virtual time, so that a reply that
// arrives late (and is taken by a later exchange) can still be traced to the
// device that sent it. The rest is kept for one exchange at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/bus.h"

namespace zeva::soak {

using Bytes = std::vector<uint8_t>;

struct SentFrame {
  uint64_t atUs = 0;
  Bytes bytes;  // as the talker built it, before the line's faults
};

// Where a frame the driver took came from.
enum class Origin {
  kSent,  // a device put exactly these bytes on the wire
  // The wire format's limit: eleven consecutive bytes that reached the
  // station pass the 8-bit data-frame check although the line damaged one
  // of them (kDamaged), or although they are the bytes of more than one
  // burst or lie on both sides of a byte the line lost (kJoined).
  kCheckPassedOnDamage,
  kCheckPassedOnJoin,
  kNowhere,  // nothing on the line explains them: the driver made them up
};

// A data frame that reached the station, and how.
struct Candidate {
  Bytes bytes;  // the 11 bytes as received
  Origin origin = Origin::kSent;
  std::string how;  // for the line's doing: the bursts the bytes came from
};

// The six data bytes the driver hands on for a received data frame: the
// positions up to and including the count are copied, the others are 0.
Bytes DeliveredData(const Bytes& frame);

class WireLog {
 public:
  // How long device frames are remembered. Longer than any exchange (a bus
  // map takes about 21 s), so an answer is traced even when a later
  // exchange took it.
  static constexpr uint64_t kWindowUs = 120'000'000;

  explicit WireLog(sim::Bus& bus);
  // Unhooks from the bus, which may outlive the log (it reports the port's
  // closing after the log has gone).
  ~WireLog();
  WireLog(const WireLog&) = delete;
  WireLog& operator=(const WireLog&) = delete;

  // Starts a new exchange: forgets its trace and host bursts, and the
  // device frames older than the window.
  void BeginExchange(uint64_t nowUs);

  // Where the six data bytes that the driver says came from `source` were
  // made: the first candidate from `source` (0: any) that delivers them.
  Origin OriginOf(uint8_t source, const uint8_t* data) const;
  // Every data frame from `source` (0: any device) that could have reached
  // the driver in the window: the frames devices sent, then (only when
  // `withLineMade`) the runs of received bytes that pass the data-frame
  // check only by the line's doing.
  std::vector<Candidate> CandidatesFrom(uint8_t source, bool withLineMade = true) const;
  // For a frame `device` did not hear in this exchange: true when an
  // acknowledgement it sent for a frame it heard earlier (other bytes, or
  // the same bytes in an earlier exchange), held back in the device behind
  // a late reply of its own, reached the station intact at or after
  // `sinceUs`. An acknowledgement names no frame: the driver cannot tell it
  // from one for the frame it waits for.
  bool AckOfAnotherFrameArrived(const sim::Device& device, uint64_t sinceUs) const;
  // True when received bytes that arrived at or after `sinceUs`, damaged by
  // the line or joined across bursts or a lost byte, pass the short-frame
  // check as a frame from `source` with the acknowledgement bit, which
  // counts as an acknowledgement.
  bool DamagedAckArrived(uint8_t source, uint64_t sinceUs) const;

  // The host's bursts of this exchange, intact.
  const std::vector<SentFrame>& hostBursts() const { return hostBursts_; }
  // True when `device` heard a frame from the host in this exchange that
  // the host never sent (of message type `type` when not -1): the line
  // damaged it past what its check can see.
  bool HeardDamaged(const sim::Device& device, int type = -1) const;
  // How many times the host put `frame` on the wire in this exchange.
  size_t HostSent(const Bytes& frame) const;
  // Valid data frames from devices to `station` seen on the line in this
  // exchange: each one the host acknowledges.
  size_t DeviceFramesTo(uint8_t station) const;
  // The line during this exchange, valid frames, garbage and events.
  const std::vector<sim::TraceEntry>& trace() const { return trace_; }

 private:
  struct AckBurst {
    uint64_t atUs = 0;
    int32_t device = -1;  // index on the bus
    size_t size = 0;
    bool queuedBehindLate = false;
  };

  bool ReachedIntact(int32_t device, uint64_t burstStartUs, size_t size) const;
  // Calls onRun(bytes, origin, how) for every run of `n` received bytes
  // that begins with a start byte, is not one burst as its talker sent it,
  // and satisfies accept(bytes, time of its first byte); origin tells damage
  // from joining, `how` lists the bytes with their bursts.
  template <typename Accept, typename OnRun>
  void ForEachLineMadeRun(size_t n, Accept&& accept, OnRun&& onRun) const;

  sim::Bus& bus_;
  uint8_t hostAddress_;
  int32_t protocol_;
  std::deque<SentFrame> deviceFrames_;
  std::deque<AckBurst> deviceAcks_;
  // What the station's receiver got, in order, for the window.
  std::deque<sim::HostByte> received_;
  std::vector<SentFrame> hostBursts_;
  std::vector<sim::TraceEntry> trace_;
};

}  // namespace zeva::soak
