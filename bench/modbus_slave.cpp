// bench_modbus_slave: the peer benchmark's other end. A Modbus RTU slave on a
// new pseudo-terminal that answers "read holding registers" (function 3)
// the way a device on a wire would: the request takes its wire time to
// arrive, the answer starts after the 3.5-character silence that ends an RTU
// frame, and each answer byte is handed to the terminal at the moment its
// last bit would leave the wire (11 bits a character, 8E1).
//
//   bench_modbus_slave --link PATH [--bps N] [--address A]
//
// Prints the terminal's path on the first line, as zevasim does, so the
// benchmarks start it with the same helper. Ends on SIGTERM or SIGINT.
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/zevasim/host_port.h"

namespace {

constexpr int kBitsPerChar = 11;
constexpr uint8_t kReadHoldingRegisters = 3;
constexpr size_t kRequestSize = 8;  // address, function, start (2), quantity (2), CRC (2)

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

uint64_t NowUs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

uint16_t Crc16(const uint8_t* bytes, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

void AppendCrc(std::vector<uint8_t>* frame) {
  const uint16_t crc = Crc16(frame->data(), frame->size());
  frame->push_back(static_cast<uint8_t>(crc & 0xFF));
  frame->push_back(static_cast<uint8_t>(crc >> 8));
}

// The answer to a valid request for this slave; empty when there is none.
std::vector<uint8_t> Answer(const std::vector<uint8_t>& request, uint8_t address) {
  if (request.size() != kRequestSize || request[0] != address || request[1] != kReadHoldingRegisters) return {};
  if (Crc16(request.data(), kRequestSize - 2) != (request[6] | (request[7] << 8))) return {};
  const int start = (request[2] << 8) | request[3];
  const int quantity = (request[4] << 8) | request[5];
  if (quantity < 1 || quantity > 125) return {};
  std::vector<uint8_t> answer = {address, kReadHoldingRegisters, static_cast<uint8_t>(2 * quantity)};
  for (int i = 0; i < quantity; ++i) {
    const int value = 0x1000 + start + i;  // register n holds 0x1000 + n
    answer.push_back(static_cast<uint8_t>(value >> 8));
    answer.push_back(static_cast<uint8_t>(value & 0xFF));
  }
  AppendCrc(&answer);
  return answer;
}

struct Options {
  std::string link;
  int32_t bps = 115200;
  uint8_t address = 1;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--link") {
      options->link = argv[i + 1];
    } else if (name == "--bps") {
      options->bps = std::atoi(argv[i + 1]);
    } else if (name == "--address") {
      options->address = static_cast<uint8_t>(std::atoi(argv[i + 1]));
    } else {
      return false;
    }
  }
  return options->bps > 0 && argc % 2 == 1;
}

// Serves until a signal: gathers a request, works out when its last byte is
// off the wire, and schedules the answer's bytes from 3.5 characters later.
void Serve(int fd, const Options& options) {
  const uint64_t charUs = (kBitsPerChar * 1'000'000ull + static_cast<uint64_t>(options.bps) - 1) /
                          static_cast<uint64_t>(options.bps);
  const uint64_t gapUs = charUs * 7 / 2;
  std::vector<uint8_t> request;
  uint64_t requestStartUs = 0;
  std::vector<uint8_t> answer;
  size_t sent = 0;
  uint64_t answerStartUs = 0;
  while (gStop == 0) {
    const uint64_t now = NowUs();
    while (sent < answer.size() && answerStartUs + (sent + 1) * charUs <= now) {
      if (write(fd, &answer[sent], 1) == 1) ++sent;
    }
    timespec timeout{0, 100'000'000};  // a signal is seen within this
    if (sent < answer.size()) {
      const uint64_t due = answerStartUs + (sent + 1) * charUs;
      const uint64_t left = due > now ? due - now : 0;
      timeout = {static_cast<time_t>(left / 1'000'000), static_cast<long>((left % 1'000'000) * 1000)};
    }
    pollfd p{fd, POLLIN, 0};
    if (ppoll(&p, 1, &timeout, nullptr) < 0 && errno != EINTR) return;
    if ((p.revents & POLLIN) == 0) continue;
    uint8_t buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) continue;
    if (request.empty()) requestStartUs = NowUs();
    request.insert(request.end(), buffer, buffer + n);
    if (request.size() < kRequestSize) continue;
    // The master wrote the request at once; on the wire its bytes follow one
    // another, and the answer waits for the silence after the last of them.
    answer = Answer(request, options.address);
    sent = 0;
    answerStartUs = requestStartUs + request.size() * charUs + gapUs;
    request.clear();
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options) || options.link.empty()) {
    std::fprintf(stderr, "usage: bench_modbus_slave --link PATH [--bps N] [--address A]\n");
    return 2;
  }
#ifdef __linux__
  // Answer bytes are due at exact moments (as in zevasim).
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);
  zeva::zevasim::HostPort port;
  std::string error;
  if (!zeva::zevasim::OpenPseudoTerminal(options.bps, 8, &port, &error) ||
      !zeva::zevasim::CreateLink(options.link, port.path, &error)) {
    std::fprintf(stderr, "bench_modbus_slave: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", port.path.c_str());
  std::fflush(stdout);
  Serve(port.fd, options);
  zeva::zevasim::RemoveLink(options.link, port.path);
  return 0;
}
