// Parse throughput: the parser alone over a stream of valid frames, and the
// receive path (append, parse, drop) over a backlog that built up while the
// client thread was busy. The backlog figures should not depend on the
// backlog's size: dropping from the front is amortised constant time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "link/status_flags.h"
#include "link/frame.h"
#include "link/parser.h"
#include "link/receive_path.h"
#include "link/byte_queue.h"

namespace {

using namespace zeva;
using namespace zeva::link;

// Valid frames as a bus carries them: mostly data frames, some
// acknowledgements.
std::vector<uint8_t> FrameStream(int32_t protocol, size_t bytes) {
  std::mt19937 rng(42);
  std::vector<uint8_t> out;
  out.reserve(bytes + kDataFrameSize);
  while (out.size() < bytes) {
    if (rng() % 5 == 0) {
      const ShortFrame f = EncodeAck(protocol, static_cast<uint8_t>(rng() % 128), 1);
      out.insert(out.end(), f.bytes.begin(), f.bytes.begin() + f.size);
      continue;
    }
    uint8_t data[6];
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    const DataFrame f = EncodeDataFrame(protocol, 1, static_cast<uint8_t>(rng() % 128), 0xC1, data);
    out.insert(out.end(), f.begin(), f.end());
  }
  return out;
}

struct Link {
  StatusFlags flags;
  uint8_t lastDestination = 0;
  EchoTracker echo{flags};
  ParserState state;
  explicit Link(int32_t protocol) {
    state.flags = &flags;
    state.lastDestination = &lastDestination;
    state.echo = &echo;
    state.protocol = protocol;
  }
};

void BM_ParseStream(benchmark::State& st) {
  const int32_t protocol = static_cast<int32_t>(st.range(0));
  const std::vector<uint8_t> stream = FrameStream(protocol, 256 * 1024);
  const int32_t n = static_cast<int32_t>(stream.size());
  Link link(protocol);
  FrameHeader header;
  uint8_t data[6];
  for (auto _ : st) {
    int32_t frames = 0;
    for (int32_t at = 0; at < n;) {
      const int32_t r = ParseFrame(link.state, stream.data() + at, n - at, &header, data);
      if (r <= 0) break;
      at += r;
      ++frames;
    }
    benchmark::DoNotOptimize(frames);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * n);
}
BENCHMARK(BM_ParseStream)->Arg(1)->Arg(2);

// The whole backlog is appended at once, then parsed and dropped frame by
// frame from the front of the accumulator.
void BM_Backlog(benchmark::State& st) {
  const std::vector<uint8_t> stream = FrameStream(2, static_cast<size_t>(st.range(0)));
  const int32_t n = static_cast<int32_t>(stream.size());
  Link link(2);
  for (auto _ : st) {
    link::ByteQueue accumulator;
    const int32_t frames = ReceiveBytes(
        link.state, accumulator, stream.data(), n, [](const FoundFrame& f) { benchmark::DoNotOptimize(&f); }, n);
    benchmark::DoNotOptimize(frames);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * n);
}
BENCHMARK(BM_Backlog)->Arg(64 * 1024)->Arg(1024 * 1024);

// Reads of at most 255 bytes, as the receive loop makes them.
void BM_ReceiveInReads(benchmark::State& st) {
  const std::vector<uint8_t> stream = FrameStream(2, 1024 * 1024);
  const int32_t n = static_cast<int32_t>(stream.size());
  Link link(2);
  for (auto _ : st) {
    link::ByteQueue accumulator;
    int32_t frames = 0;
    for (int32_t at = 0; at < n; at += 255) {
      frames += ReceiveBytes(link.state, accumulator, stream.data() + at, std::min(255, n - at),
                             [](const FoundFrame& f) { benchmark::DoNotOptimize(&f); });
    }
    benchmark::DoNotOptimize(frames);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * n);
}
BENCHMARK(BM_ReceiveInReads);

}  // namespace
