#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "link/receive_path.h"
#include "link_rig.h"

namespace zeva::link::test {
namespace {

const Bytes kWritten = DataFrameBytes(2, 5, 1, 0xC1, {1, 2, 3, 4, 5, 6});
const Bytes kAckFrom5 = AckBytes(2, 1, 5);
const Bytes kFromDevice = DataFrameBytes(2, 1, 5, 0xC1, {9, 8, 7, 6, 5, 4});

// A frame as the parser reports it. The data area means something for data
// frames only: a short frame leaves it as the walk left it.
struct Record {
  FrameHeader header;
  Bytes data;
  bool operator==(const Record& o) const {
    if (std::memcmp(&header, &o.header, sizeof header) != 0) return false;
    return IsShortControl(header.typeAndFlags) || data == o.data;
  }
};

struct Path {
  ParserRig rig;
  link::ByteQueue accumulator;
  std::vector<Record> found;

  explicit Path(int32_t protocol) : rig(protocol) {}

  void Receive(const Bytes& bytes, size_t chunk) {
    for (size_t at = 0; at < bytes.size(); at += chunk) {
      const size_t n = std::min(chunk, bytes.size() - at);
      ReceiveBytes(rig.state, accumulator, bytes.data() + at, static_cast<int32_t>(n),
                   [this](const FoundFrame& f) {
                     found.push_back({f.header, Bytes(f.data, f.data + 6)});
                   });
    }
  }
};

Record RecordOf(int32_t protocol, const Bytes& frame) {
  ParserRig rig(protocol);
  FrameHeader header;
  uint8_t data[6] = {0, 0, 0, 0, 0, 0};
  const int32_t r =
      ParseFrame(rig.state, frame.data(), static_cast<int32_t>(frame.size()), &header, data);
  EXPECT_EQ(r, static_cast<int32_t>(frame.size()));
  return {header, Bytes(data, data + 6)};
}

// The echo and what follows it arrive split at every possible point; the
// echo is matched once and only the device's frames come out.
TEST(ReceivePath, EchoAndAckInAnyChunks) {
  struct SplitCase {
    const char* name;
    uint8_t raw;
    Bytes written;
  };
  const SplitCase cases[] = {
      {"frame", 0, kWritten},
      {"raw_frame", 1, kWritten},
      {"raw_bytes", 1, {0x01, 0x02, 0x03, 0x04, 0x05}},
  };
  for (const auto& c : cases) {
    for (size_t chunk = 1; chunk <= 20; ++chunk) {
      SCOPED_TRACE(testing::Message() << c.name << " chunk " << chunk);
      Path path(2);
      path.rig.state.rawSendActive = c.raw;
      path.rig.lastDestination = 5;
      path.rig.AwaitEcho(c.written, 0);
      path.Receive(Concat({c.written, kAckFrom5, kFromDevice}), chunk);
      EXPECT_EQ(path.rig.flags.word, SF_ECHO_MATCHED | SF_ACK_RECEIVED);
      ASSERT_EQ(path.found.size(), 2u);
      EXPECT_EQ(path.found[0], RecordOf(2, kAckFrom5));
      EXPECT_EQ(path.found[1], RecordOf(2, kFromDevice));
      EXPECT_EQ(path.accumulator.length(), 0);
    }
  }
}

// A complete frame can wait in the accumulator while a write is made; once
// it is dropped, the echo behind it must still be recognised.
TEST(ReceivePath, EchoBehindAWaitingFrame) {
  for (uint8_t raw : {0, 1}) {
    SCOPED_TRACE(raw);
    Path path(2);
    path.rig.state.rawSendActive = raw;
    AppendReceived(path.accumulator, &path.rig.echo, kFromDevice.data(), 11);
    path.rig.AwaitEcho(kWritten, path.rig.echo.received());
    path.Receive(kWritten, kWritten.size());
    EXPECT_EQ(path.rig.flags.word, SF_ECHO_MATCHED);
    ASSERT_EQ(path.found.size(), 1u);
    EXPECT_EQ(path.found[0], RecordOf(2, kFromDevice));
    EXPECT_EQ(path.accumulator.length(), 0);
    EXPECT_EQ(path.rig.echo.received(), 0);
  }
}

// A stream of valid frames with stray bytes between and inside them: every
// frame no stray byte hit is still found, in order. Frame bodies and the
// bytes inside frames avoid the start byte; stray bytes are put inside data
// frames only, whose 11 bytes cannot reach the next frame. (A stray byte in
// a short frame may turn it into a data frame candidate that reaches into
// the next frame, which then depends on a chance checksum.)
TEST(ReceivePath, NoiseCostsOnlyTheFrameItHits) {
  for (int32_t protocol : {1, 2}) {
    SCOPED_TRACE(protocol);
    std::mt19937 rng(1234 + static_cast<unsigned>(protocol));
    auto byte = [&](int lo, int hi) {
      return static_cast<uint8_t>(std::uniform_int_distribution<int>(lo, hi)(rng));
    };
    auto chance = [&](int percent) { return byte(0, 99) < percent; };

    Bytes stream;
    std::vector<Record> untouched;
    int hits = 0;
    for (int i = 0; i < 600; ++i) {
      Bytes frame;
      do {
        if (chance(70)) {
          uint8_t control;
          do control = byte(0, 0xFD); while (IsShortControl(control));
          frame = DataFrameBytes(protocol, byte(0, 127), byte(0, 0xFD), control,
                            {byte(0, 0xFD), byte(0, 0xFD), byte(0, 0xFD), byte(0, 0xFD),
                             byte(0, 0xFD), byte(0, 0xFD)});
        } else {
          frame = ToBytes(EncodeAck(protocol, byte(0, 127), byte(0, 127)));
        }
      } while (std::count(frame.begin(), frame.end(), kStartByte) != 1);

      const bool hit = frame.size() == 11 && chance(25);
      if (hit) {
        frame.insert(frame.begin() + byte(1, 10), byte(0, 0xFD));
        ++hits;
      } else {
        untouched.push_back(RecordOf(protocol, frame));
      }
      if (chance(25)) stream.push_back(byte(0, 0xFE));
      stream.insert(stream.end(), frame.begin(), frame.end());
    }

    Path path(protocol);
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min<size_t>(byte(1, 40), stream.size() - at);
      path.Receive(Bytes(stream.begin() + static_cast<long>(at),
                         stream.begin() + static_cast<long>(at + n)),
                   n);
      at += n;
    }

    size_t next = 0;
    int extra = 0;
    for (const Record& r : path.found) {
      if (next < untouched.size() && r == untouched[next]) {
        ++next;
      } else {
        ++extra;
      }
    }
    EXPECT_EQ(next, untouched.size());
    EXPECT_LE(extra, hits);
    EXPECT_GT(hits, 50);
  }
}

}  // namespace
}  // namespace zeva::link::test
