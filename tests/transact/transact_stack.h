// The whole driver stack over the deterministic platform and the bus
// simulator: a client window, the port open on COM1, and the client's
// callbacks recorded. Time is virtual; the wire is the simulator's trace.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "api/driver_context.h"
#include "sim/bus.h"
#include "support/frames.h"
#include "support/sim_driver.h"

namespace zeva::transact_test {

using test::AckBytes;
using test::Bytes;
using test::Concat;
using test::DataFrameBytes;
using test::Hex;
using test::WireFrame;

struct DataEvent {
  int32_t source = 0;
  int32_t destination = 0;
  int32_t count = 0;
  int32_t type = 0;
  Bytes data;
  int32_t eventCode = 0;
};

struct ErrorEvent {
  int32_t code = 0;
  std::string text;
};

class Stack : public test::SimDriver {
 public:
  explicit Stack(const sim::BusConfig& config = {}, uint32_t startTick = 1000);
  ~Stack();

  // What the client's callbacks saw.
  std::vector<DataEvent> data;
  std::vector<ErrorEvent> errors;
  std::vector<int32_t> progress;
  // Runs inside OnDataReceived, after the event was recorded.
  std::function<void(const DataEvent&)> onData;
  // Runs in the client's window procedure for messages other than the
  // driver's event message.
  std::function<void(unsigned message, WPARAM, LPARAM)> onClientMessage;

  std::vector<Bytes> HostBytes() const;
  // Everything that went over the line, valid or not, in order.
  std::vector<Bytes> AllBursts() const;

  static Stack* current;
};

}  // namespace zeva::transact_test
