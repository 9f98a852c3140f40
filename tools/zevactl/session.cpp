#include "tools/zevactl/session.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace zevactl {

std::atomic<bool> g_interrupted{false};

namespace {

Session* g_session = nullptr;

LRESULT ZEVA_CALLBACK ClientProc(HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string text;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += b;
  }
  return text;
}

std::string Clock() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return text;
}


// The driver's serial texts of the map start with a blank.
std::string TrimSerial(const char* serial) {
  std::string s = serial != nullptr ? serial : "";
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  return s;
}

void ZEVA_CALLBACK OnLineError() {
  if (g_session != nullptr) g_session->Note("line error (framing, parity, overrun or break)");
}

void ZEVA_CALLBACK OnDataReceived(int32_t source, int32_t destination, int32_t count, int32_t type,
                                  const uint8_t* data, int32_t eventCode) {
  Session* s = g_session;
  if (s == nullptr || !s->monitoring) return;
  const std::string bytes = data != nullptr ? Hex(data, 6) : "";
  if (s->mode().json) {
    Json frame = {{"time", Clock()}, {"source", source}, {"destination", destination}, {"count", count},
                  {"type", type},    {"event", eventCode}, {"data", bytes}};
    std::printf("%s\n", frame.dump().c_str());
  } else {
    std::printf("%s  %3d -> %-3d  type %3d  event %d  count %d  %s\n", Clock().c_str(), source, destination, type,
                eventCode, count, bytes.c_str());
  }
  std::fflush(stdout);
}

void ZEVA_CALLBACK OnMapProgress(int32_t address) {
  Session* s = g_session;
  if (s == nullptr) return;
  // 0 marks the end of the map, not an address probed.
  if (address != 0) s->mapAddress = address;
  if (address != 0 && (g_interrupted.load() || s->PortLost())) {
    s->mapAborted = true;
    MapAbort();
    return;
  }
  if (address != 0) {
    s->Progress(address * 100 / 127, "address " + std::to_string(address) + ", " + std::to_string(s->found.size()) + " found");
  }
}

void ZEVA_CALLBACK OnDeviceFound(int32_t address, const char* serial, int32_t product, int32_t versionLow,
                                 int32_t versionHigh) {
  if (g_session != nullptr) {
    g_session->found.push_back({address, Printable(TrimSerial(serial).c_str()), product, versionLow, versionHigh});
  }
}

void ZEVA_CALLBACK OnFirmwareInfo(int32_t address, const char* serial, int32_t product, const char* name,
                                  int32_t, int32_t, const char* versionText) {
  if (g_session == nullptr) return;
  g_session->firmware.push_back({address, Printable(TrimSerial(serial).c_str()), product, Printable(name),
                                 Printable(versionText)});
}

void ZEVA_CALLBACK OnRemoteError(int32_t address, int32_t code, const char* report) {
  if (g_session != nullptr) g_session->remoteErrors.push_back({address, code, Printable(report, true)});
}

void ZEVA_CALLBACK OnProgress(int32_t value, const char* text) {
  Session* s = g_session;
  if (s == nullptr) return;
  const std::string label = Printable(text);
  if (!label.empty() && (s->stages.empty() || s->stages.back() != label)) s->stages.push_back(label);
  // The body's share comes without a text: it belongs to the stage before.
  s->Progress(value, label.empty() && !s->stages.empty() ? s->stages.back() : label);
}

void ZEVA_CALLBACK OnQueryReply(int32_t address, const uint8_t* reply, int32_t) {
  if (g_session == nullptr) return;
  QueryReply r{address, {}};
  if (reply != nullptr) r.bytes.assign(reply, reply + 6);
  g_session->queryReplies.push_back(r);
}

void ZEVA_CALLBACK OnProgramDone() {
  if (g_session != nullptr) g_session->programDone = true;
}

void ZEVA_CALLBACK OnDriverError(int32_t code, const char* text) {
  Session* s = g_session;
  const std::string message = Printable(text);
  if (s != nullptr) {
    s->EndProgress();
    s->errors.push_back({code, message});
    if (s->holdUndelivered && code == 2) return;
  }
  std::fprintf(stderr, "error: %s (driver error %d)\n", message.c_str(), code);
}

int MessageBoxToStderr(const char* text, const char* caption, unsigned) {
  Session* s = g_session;
  const std::string message = Printable(text, true);
  if (s != nullptr) {
    s->EndProgress();
    s->boxes.push_back(message);
  }
  std::fprintf(stderr, "%s: %s\n", Printable(caption).c_str(), message.c_str());
  return IDOK;
}

}  // namespace

// Control characters could move the cursor or recolour the terminal.
std::string Printable(const char* text, bool lines) {
  std::string out;
  if (text == nullptr) return out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    const unsigned char c = *p;
    size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool valid = length > 0;
    for (size_t i = 1; valid && i < length; ++i) valid = (p[i] & 0xC0) == 0x80;
    // Overlong forms, and the C1 controls U+0080..U+009F.
    if (valid && length == 2) valid = c >= 0xC2 && !(c == 0xC2 && p[1] < 0xA0);
    if (valid && length == 1 && (c < 0x20 || c == 0x7F)) valid = lines && (c == '\n' || c == '\r');
    if (!valid) {
      out += '?';
      ++p;
      continue;
    }
    out.append(reinterpret_cast<const char*>(p), length);
    p += length;
  }
  return out;
}

Session* CurrentSession() { return g_session; }

Session::Session(OutputMode mode) : mode_(mode) {
  g_session = this;
  SetMessageBoxHook(MessageBoxToStderr);
  SetNoErrMsgBox(1);
  window_ = CreateMessageWindow(ClientProc);
  SetCallbackEvents(OnLineError, OnDataReceived, OnMapProgress, OnDeviceFound, OnFirmwareInfo, OnRemoteError,
                    OnProgress, OnQueryReply, OnProgramDone, OnDriverError);
}

Session::~Session() {
  CloseCOM();
  Drain();
  SetCallbackEvents(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  SetClientHWND(nullptr);
  if (window_ != nullptr) DestroyWindow(window_);
  SetMessageBoxHook(nullptr);
  g_session = nullptr;
}

void Session::Drain() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

void Session::Note(const std::string& text) const {
  if (mode_.quiet) return;
  std::fprintf(stderr, "%s\n", text.c_str());
}

void Session::Progress(int percent, const std::string& label) {
  if (mode_.quiet) return;
  if (!mode_.progressBar) {
    // Plain lines: each new stage once.
    if (!label.empty() && label != lastStage_ && label.rfind("address ", 0) != 0) std::fprintf(stderr, "%s\n", label.c_str());
    lastStage_ = label;
    return;
  }
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  constexpr int kWidth = 40;
  const int filled = percent * kWidth / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kWidth - filled), '.');
  std::fprintf(stderr, "\r[%s] %3d%%  %-40.40s", bar.c_str(), percent, label.c_str());
  std::fflush(stderr);
  barShown_ = true;
}

void Session::EndProgress() {
  if (!barShown_) return;
  std::fprintf(stderr, "\r%*s\r", 90, "");
  std::fflush(stderr);
  barShown_ = false;
}

void Session::Fail(const std::string& text) {
  EndProgress();
  failures.push_back(text);
  std::fprintf(stderr, "error: %s\n", text.c_str());
}

bool Session::PortLost() {
  if (!portLost && portGone && portGone()) {
    portLost = true;
    Fail("the port " + portName + " went away: unplugged, or the simulator ended");
  }
  return portLost;
}

void Session::NoAnswer(int address) {
  holdUndelivered = false;
  if (PortLost()) return;
  bool other = false;
  for (const DriverError& e : errors) other = other || e.code != 2;
  // A busy channel or a full request table says more than "no answer".
  if (!other) Fail("no answer from address " + std::to_string(address));
}

Json Session::ErrorsJson() const {
  Json list = Json::array();
  for (const std::string& f : failures) list.push_back({{"code", nullptr}, {"text", f}});
  for (const DriverError& e : errors) list.push_back({{"code", e.code}, {"text", e.text}});
  for (const std::string& b : boxes) list.push_back({{"code", nullptr}, {"text", b}});
  return list;
}

}  // namespace zevactl
