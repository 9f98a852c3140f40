// send, senddata, raw, teststream: data on the bus.
#include <cstdio>
#include <memory>

#include "tools/zevactl/command_util.h"

namespace zevactl {

namespace {

int SendOutcome(Session& s, Json& out, int32_t result, bool acknowledged) {
  s.Drain();
  out["result"] = result;
  out["text"] = SendResultText(result);
  if (result != 1) {
    std::fprintf(stderr, "error: %s (result %d)\n", SendResultText(result).c_str(), result);
    return 1;
  }
  Print(s, acknowledged ? "delivered" : "sent (unacknowledged)");
  return 0;
}

Command Send(CLI::App& app) {
  struct Args {
    std::string address, type, mode = "0", int0, int1;
    std::vector<std::string> bytes;
  };
  auto a = std::make_shared<Args>();
  Command c;
  c.app = app.add_subcommand("send", "send the six-byte output buffer, with the type byte --type in byte 5");
  c.app->add_option("ADDR", a->address, "bus address, 0-127 (0 broadcasts)")->required();
  c.app->add_option("--type", a->type, "the type byte (byte 5), 0-255")->required();
  c.app->add_option("--mode", a->mode, "0 acknowledged (default), 1 unacknowledged");
  auto* int0 = c.app->add_option("--int0", a->int0, "word 0 (bytes 0-1), -32768..65535");
  auto* int1 = c.app->add_option("--int1", a->int1, "word 1 (bytes 2-3), -32768..65535");
  auto* bytes = c.app->add_option("--bytes", a->bytes, "bytes 0-3 in hex")->expected(1, 4);
  bytes->excludes(int0)->excludes(int1);
  c.validate = [=] {
    Address(a->address, 0, 127);
    Number(a->type, 0, 255, "type");
    Number(a->mode, 0, 1, "mode");
    if (!a->int0.empty()) Number(a->int0, -32768, 65535, "--int0");
    if (!a->int1.empty()) Number(a->int1, -32768, 65535, "--int1");
    if (!a->bytes.empty() && HexArgs(a->bytes, "--bytes").size() != 4) throw UsageError("--bytes: expected four bytes");
  };
  c.run = [=](Session& s, Json& out) {
    ClearBuffer();
    if (!a->int0.empty()) SetInt(Number(a->int0, -32768, 65535, "--int0"), 0);
    if (!a->int1.empty()) SetInt(Number(a->int1, -32768, 65535, "--int1"), 1);
    if (!a->bytes.empty()) {
      const std::vector<uint8_t> b = HexArgs(a->bytes, "--bytes");
      for (int i = 0; i < 4; ++i) SetByte(b[static_cast<size_t>(i)], i);
    }
    const int32_t address = Address(a->address, 0, 127);
    const int32_t mode = Number(a->mode, 0, 1, "mode");
    return SendOutcome(s, out, ::Send(address, Number(a->type, 0, 255, "type"), mode), mode == 0 && address != 0);
  };
  return c;
}

Command SendDataCommand(CLI::App& app) {
  struct Args {
    std::string address, type = "1", mode = "0", response;
    std::vector<std::string> data;
  };
  auto a = std::make_shared<Args>();
  Command c;
  c.app = app.add_subcommand("senddata", "send bytes as a message, in six-byte frames");
  c.app->add_option("ADDR", a->address, "bus address, 0-127")->required();
  c.app->add_option("HEX", a->data, "the bytes in hex")->required();
  c.app->add_option("--type", a->type, "message type, 0-7 (default 1)");
  c.app->add_option("--mode", a->mode, "0 acknowledged (default), 1 unacknowledged (first frame only), 2 alternating");
  c.app->add_option("--response", a->response, "with --mode 2: wait for a reply with this code in byte 5, 0-255");
  c.validate = [=] {
    Address(a->address, 0, 127);
    Number(a->type, 0, 7, "type");
    const int32_t mode = Number(a->mode, 0, 2, "mode");
    if (!a->response.empty()) {
      Number(a->response, 0, 255, "response code");
      if (mode != 2) throw UsageError("--response needs --mode 2");
    }
    if (HexArgs(a->data, "data").size() > 65535) throw UsageError("data: at most 65535 bytes");
  };
  c.run = [=](Session& s, Json& out) {
    const std::vector<uint8_t> data = HexArgs(a->data, "data");
    if (!a->response.empty()) SetResponseMsg(Number(a->response, 0, 255, "response code"));
    const int32_t address = Address(a->address, 0, 127);
    const int32_t mode = Number(a->mode, 0, 2, "mode");
    const int32_t result = SendData(address, mode, Number(a->type, 0, 7, "type"), data.data(),
                                    static_cast<int32_t>(data.size()));
    return SendOutcome(s, out, result, mode != 1 && address != 0);
  };
  return c;
}

Command Raw(CLI::App& app) {
  auto data = std::make_shared<std::vector<std::string>>();
  auto whole = std::make_shared<bool>(false);
  Command c;
  c.app = app.add_subcommand("raw", "write bytes to the line as they are (no acknowledgement)");
  c.app->add_option("HEX", *data, "the bytes in hex")->required();
  c.app->add_flag("--whole-frame", *whole, "the bytes are a frame: its last byte is replaced by the checksum");
  c.validate = [=] {
    const size_t n = HexArgs(*data, "raw bytes").size();
    if (n > 4096) throw UsageError("raw bytes: at most 4096");
    if (*whole && n < 4) throw UsageError("--whole-frame needs at least four bytes");
  };
  c.run = [=](Session& s, Json& out) {
    std::vector<uint8_t> bytes = HexArgs(*data, "raw bytes");
    int16_t checksum = 0;
    const int32_t ok = sendRaw(bytes.data(), static_cast<int32_t>(bytes.size()), &checksum, *whole ? 1 : 0);
    s.Drain();
    if (!ok) {
      std::fprintf(stderr, "error: the bytes were not written\n");
      return 1;
    }
    char text[64];
    std::snprintf(text, sizeof text, "written: %s; checksum %02X", Hex(bytes).c_str(), checksum & 0xFF);
    Print(s, text);
    out["written"] = Hex(bytes);
    out["checksum"] = checksum & 0xFF;
    return 0;
  };
  return c;
}

Command TestStreamCommand(CLI::App& app) {
  auto fill = std::make_shared<std::string>();
  auto count = std::make_shared<std::string>();
  Command c;
  c.app = app.add_subcommand("teststream", "write COUNT bytes of FILL, for line tests");
  c.app->add_option("FILL", *fill, "the byte, 0-255 (0x.. for hex)")->required();
  c.app->add_option("COUNT", *count, "how many, 0-32767")->required();
  c.validate = [=] {
    Number(*fill, 0, 255, "fill byte");
    Number(*count, 0, 32767, "count");
  };
  c.run = [=](Session& s, Json& out) {
    const int32_t n = Number(*count, 0, 32767, "count");
    const int32_t ok = TestStream(Number(*fill, 0, 255, "fill byte"), n);
    s.Drain();
    out["count"] = n;
    if (!ok) return 1;
    Print(s, std::to_string(n) + " bytes written");
    return 0;
  };
  return c;
}

}  // namespace

std::vector<Command> DefineSendCommands(CLI::App& app) {
  return {Send(app), SendDataCommand(app), Raw(app), TestStreamCommand(app)};
}

}  // namespace zevactl
