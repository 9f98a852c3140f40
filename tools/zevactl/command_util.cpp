#include "tools/zevactl/command_util.h"

#include <cstdio>

#include "tools/zevactl/args.h"

namespace zevactl {

int32_t Address(const std::string& text, int64_t min, int64_t max) {
  const auto value = ParseNumber(text, min, max);
  if (!value) {
    throw UsageError("bad address \"" + text + "\": expected " + std::to_string(min) + ".." + std::to_string(max));
  }
  return static_cast<int32_t>(*value);
}

int32_t Number(const std::string& text, int64_t min, int64_t max, const std::string& what) {
  const auto value = ParseNumber(text, min, max);
  if (!value) {
    throw UsageError("bad " + what + " \"" + text + "\": expected " + std::to_string(min) + ".." + std::to_string(max));
  }
  return static_cast<int32_t>(*value);
}

std::vector<uint8_t> HexArgs(const std::vector<std::string>& args, const std::string& what) {
  std::string error;
  auto bytes = ParseHexBytes(args, &error);
  if (!bytes) throw UsageError(what + ": " + error);
  return *bytes;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += b;
  }
  return text;
}

void Print(const Session& s, const std::string& text) {
  if (!s.mode().json) std::printf("%s\n", text.c_str());
}

// The driver's texts end lines with CR LF.
std::string PlainLines(std::string text) {
  std::string out;
  for (char c : text) {
    if (c != '\r') out += c;
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// Results of Send and SendData in words.
std::string SendResultText(int32_t result) {
  switch (result) {
    case 0: return "not delivered";
    case 1: return "delivered";
    case 2: return "channel busy, nothing sent";
    case 16: return "port not open";
    case 99: return "bad argument, nothing sent";
    default: return "result " + std::to_string(result);
  }
}

// What GetLastProgramError's codes mean to the person at the keyboard.
std::string ProgramErrorText(int32_t code) {
  switch (code) {
    case 0: return "no failure recorded";
    case 1: return "bad call: address 0, the station's own address, or a serial text without S";
    case 2: return "the serial port did not open";
    case 3: return "communication failure: a command or the program body was not delivered";
    case 4: return "the device did not answer identification (is its address set? is it connected?)";
    case 5: return "serial mismatch: the device at that address has another serial code";
    case 6: return "product mismatch: the device is not the product this program is for";
    case 7: return "firmware version too low for this program";
    case 8: return "the channel stayed busy during the transfer";
    default: return "unknown code " + std::to_string(code);
  }
}

std::string IdentityLine(const FirmwareInfo& f) {
  char line[256];
  std::snprintf(line, sizeof line, "address %d  serial %s  product %d (%s)  firmware %s", f.address, f.serial.c_str(),
                f.product, f.name.c_str(), f.version.c_str());
  return line;
}

Json IdentityJson(const FirmwareInfo& f) {
  return {{"address", f.address}, {"serial", f.serial}, {"product", f.product}, {"name", f.name}, {"version", f.version}};
}

}  // namespace zevactl
