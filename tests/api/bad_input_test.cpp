// Every export with the inputs a careless client passes: null pointers,
// negative and huge lengths, out-of-range addresses, indexes and modes,
// texts and buffers cut to the length they come with, and stale window
// handles. Each row checks the documented result; output buffers carry a
// fence and input buffers are exactly as long as their length, so the
// sanitizer build also catches any access past what the length allows.
//
// The driver runs over the deterministic test platform with the bus
// simulator on COM1, through the exported functions themselves.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "api/instance.h"
#include "tests/api/export_list.h"
#include "platform/testing/test_platform.h"
#include "sim/bus.h"
#include "zeva232.h"
#include "zeva232_posix.h"  // on Win32 the tests' stand-in (tests/win32/compat)

namespace zeva::api_test {
namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int kBoxAnswer = 3;  // what the recording hook answers, to tell it from IDOK
constexpr const char* kCaption = "JV ZEVA COM driver";
constexpr const char* kBadCall =
    "Bad call\nRemote peer address cannot be zero nor address of this station\nSerial must be set.";
constexpr const char* kVersion = "1. 2. 0. 19";

struct Box {
  std::string text;
  std::string caption;
};
std::vector<Box> gBoxes;
std::vector<std::pair<int32_t, std::string>> gDriverErrors;
int32_t gFirmwareInfos = 0;

int RecordBox(const char* text, const char* caption, unsigned) {
  gBoxes.push_back({text, caption});
  return kBoxAnswer;
}
void ZEVA_CALLBACK OnDriverError(int32_t code, const char* text) { gDriverErrors.emplace_back(code, text); }
void ZEVA_CALLBACK OnFirmwareInfo(int32_t, const char*, int32_t, const char*, int32_t, int32_t, const char*) {
  ++gFirmwareInfos;
}
// Runs inside OnProgress while a program body goes out.
std::function<void(int32_t share)> gDuringBody;
void ZEVA_CALLBACK OnProgress(int32_t value, const char* text) {
  if (gDuringBody && text != nullptr && text[0] == '\0' && value > 0) gDuringBody(value);
}
LRESULT ZEVA_WINDOW_PROC ClientProc(HWND, unsigned, WPARAM, LPARAM) { return 0; }
LRESULT ZEVA_WINDOW_PROC OtherProc(HWND, unsigned, WPARAM, LPARAM) { return 5; }

// Bytes the driver writes into: `size` usable bytes followed by a fence
// that must stay untouched.
class Fenced {
 public:
  explicit Fenced(size_t size) : size_(size), storage_(size + kFence, kFenceByte) {
    std::memset(storage_.data(), 0, size);
  }
  char* chars() { return reinterpret_cast<char*>(storage_.data()); }
  bool FenceIntact() const {
    for (size_t i = size_; i < storage_.size(); ++i) {
      if (storage_[i] != kFenceByte) return false;
    }
    return true;
  }

 private:
  static constexpr size_t kFence = 32;
  static constexpr uint8_t kFenceByte = 0xA5;
  size_t size_;
  std::vector<uint8_t> storage_;
};

// Bytes the driver reads: a heap block of exactly `bytes.size()` bytes, so
// a read past its end is caught by the address sanitizer.
class Exact {
 public:
  explicit Exact(const std::vector<uint8_t>& bytes) : size_(bytes.size()), data_(new uint8_t[bytes.size()]) {
    std::memcpy(data_.get(), bytes.data(), bytes.size());
  }
  // A text with its terminator and nothing after it.
  static Exact Text(const std::string& text) {
    return Exact(std::vector<uint8_t>(text.c_str(), text.c_str() + text.size() + 1));
  }
  uint8_t* get() { return data_.get(); }
  const char* text() const { return reinterpret_cast<const char*>(data_.get()); }
  int32_t size() const { return static_cast<int32_t>(size_); }

 private:
  size_t size_;
  std::unique_ptr<uint8_t[]> data_;
};

// A fresh driver over the test platform, with device 5 on COM1.
class Env {
 public:
  Env() {
    gBoxes.clear();
    gDriverErrors.clear();
    gFirmwareInfos = 0;
    gDuringBody = nullptr;
    bus.AddDevice({5, 0x01A2B3, 5, 2, 7});
    platform.AttachLine(1, &bus);
    api::Load(platform);
    window = CreateMessageWindow(&ClientProc);
    ::SetCallbackEvents(nullptr, nullptr, nullptr, nullptr, &OnFirmwareInfo, nullptr, &OnProgress, nullptr,
                        nullptr, &OnDriverError);
  }
  ~Env() {
    gDuringBody = nullptr;
    api::Unload();
    DestroyWindow(window);
    platform.DetachLine(1);
  }

  DriverContext& ctx() { return api::Instance(); }
  void Open() { ASSERT_EQ(::OpenCOM(window), 1); }
  // A handle whose window is gone.
  HWND Stale() {
    HWND gone = CreateMessageWindow(&OtherProc);
    EXPECT_EQ(DestroyWindow(gone), 1);
    return gone;
  }
  // Lets the client serve its queue (events posted as failures arrive).
  void Serve() {
    platform.AdvanceMs(1);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
  // A device service called with addresses off the bus: their low byte
  // would reach every device (256), another one (256 + 5) or nobody (128,
  // -1). Each call must return 0 with nothing written and nothing reported.
  void NothingSentOffTheBus(const std::function<int32_t(int32_t)>& call) {
    int32_t writes = 0;
    platform.writeOverride = [&writes](const uint8_t*, int32_t n) {
      ++writes;
      return platform::SerialStatus::Ok(n);
    };
    for (int32_t address : {128, 255, 256, 256 + 5, -1, 0x8000 + 5, kMax}) {
      EXPECT_EQ(call(address), 0) << address;
    }
    platform.writeOverride = nullptr;
    EXPECT_EQ(writes, 0) << "frames written for addresses off the bus";
    Serve();
    EXPECT_TRUE(NoReport());
  }
  bool NoReport() const {
    for (const Box& b : gBoxes) ADD_FAILURE() << "box: " << b.text;
    for (const auto& e : gDriverErrors) ADD_FAILURE() << "driver error " << e.first << ": " << e.second;
    return gBoxes.empty() && gDriverErrors.empty();
  }

  testing::TestPlatform platform;
  sim::Bus bus;
  HWND window = nullptr;
};

struct Row {
  const char* name;  // the export
  const char* input;
  std::function<void(Env&)> check;
};

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      // --- link settings: 16-bit arguments, clamped --------------------------
      {"SetCOMPort", "below 1, above 128, wider than 16 bits",
       [](Env&) {
         EXPECT_EQ(SetCOMPort(0), 1);
         EXPECT_EQ(SetCOMPort(-5), 1);
         EXPECT_EQ(SetCOMPort(kMin), 1);  // low 16 bits 0
         EXPECT_EQ(GetCOMPort(), 1);
         EXPECT_EQ(SetCOMPort(129), 129);
         EXPECT_EQ(GetCOMPort(), 128);
         EXPECT_EQ(SetCOMPort(65537), 1);
         EXPECT_EQ(GetCOMPort(), 1);
       }},
      {"GetCOMPort", "a port without a line", [](Env& e) {
         SetCOMPort(7);
         EXPECT_EQ(GetCOMPort(), 7);
         EXPECT_EQ(OpenCOM(e.window), 0);
         EXPECT_EQ(IsOpen(), 0);
         ASSERT_EQ(gBoxes.size(), 1u) << "the system's text";
         EXPECT_EQ(gBoxes[0].caption, kCaption);
       }},
      {"SetBps", "zero and negative rates",
       [](Env& e) {
         for (int32_t bps : {0, -19200, kMin}) {
           EXPECT_EQ(SetBps(bps), bps);
           EXPECT_EQ(OpenCOM(e.window), 0) << bps;
           EXPECT_EQ(IsOpen(), 0);
         }
         EXPECT_TRUE(e.NoReport()) << "refused without a message";
       }},
      {"GetBps", "stored unchecked",
       [](Env&) {
         SetBps(kMax);
         EXPECT_EQ(GetBps(), kMax);
       }},
      {"SetFrameSize", "outside 7..8",
       [](Env&) {
         EXPECT_EQ(SetFrameSize(0), 7);
         EXPECT_EQ(SetFrameSize(-1), 7);
         EXPECT_EQ(SetFrameSize(9), 9);
         EXPECT_EQ(GetFrameSize(), 8);
         EXPECT_EQ(SetFrameSize(65543), 7);  // low 16 bits 7
       }},
      {"GetFrameSize", "after a huge size",
       [](Env&) {
         SetFrameSize(kMax);  // low 16 bits -1
         EXPECT_EQ(GetFrameSize(), 7);
       }},
      {"SetRXbuffer", "outside 1..2048",
       [](Env&) {
         EXPECT_EQ(SetRXbuffer(0), 1);
         EXPECT_EQ(SetRXbuffer(-3), 1);
         EXPECT_EQ(SetRXbuffer(5000), 5000);
         EXPECT_EQ(GetRXbuffer(), 2048);
       }},
      {"GetRXbuffer", "after a huge size", [](Env&) {
         SetRXbuffer(kMax);
         EXPECT_EQ(GetRXbuffer(), 1);
       }},
      {"SetTXbuffer", "outside 1..2048",
       [](Env&) {
         EXPECT_EQ(SetTXbuffer(0), 1);
         EXPECT_EQ(SetTXbuffer(kMin), 1);
         EXPECT_EQ(SetTXbuffer(2049), 2049);
         EXPECT_EQ(GetTXbuffer(), 2048);
       }},
      {"GetTXbuffer", "after a negative size", [](Env&) {
         SetTXbuffer(-1);
         EXPECT_EQ(GetTXbuffer(), 1);
       }},
      {"SetLocalAddress", "negative, above 255, wider than 16 bits",
       [](Env&) {
         EXPECT_EQ(SetLocalAddress(-1), 0);
         EXPECT_EQ(getLocalAddr(), 0);
         EXPECT_EQ(SetLocalAddress(300), 300);
         EXPECT_EQ(getLocalAddr(), 255);
         EXPECT_EQ(SetLocalAddress(65536 + 5), 5);
         EXPECT_EQ(getLocalAddr(), 5);
       }},
      {"getLocalAddr", "answers for itself with the port closed",
       [](Env&) {
         SetLocalAddress(9);
         EXPECT_EQ(GetFirmwareInfo(9), 1);
         EXPECT_EQ(GetFirmwareInfo(65536 + 9), 1) << "the low 16 bits are compared";
         EXPECT_EQ(gFirmwareInfos, 2);
       }},
      {"SetAdapterID", "any value is the id",
       [](Env&) {
         EXPECT_EQ(SetAdapterID(kMin), kMin);
         EXPECT_EQ(getAdapterID(), kMin);
         EXPECT_EQ(SetAdapterID(1), 1);
         EXPECT_EQ(GetEchoCheck(), 0);
         EXPECT_EQ(SetAdapterID(-1), -1);
         EXPECT_EQ(GetEchoCheck(), 0) << "other kinds leave the echo check";
         EXPECT_EQ(SetAdapterID(0), 0);
         EXPECT_EQ(GetEchoCheck(), 1);
       }},
      {"getAdapterID", "default", [](Env&) { EXPECT_EQ(getAdapterID(), 0); }},
      {"SetProtocol", "neither 1 nor 2",
       [](Env& e) {
         for (int32_t p : {0, 3, -1, kMax, 65537}) {
           EXPECT_EQ(SetProtocol(p), p);
           EXPECT_EQ(e.ctx().core.settings.protocol, 2) << p;
         }
       }},
      {"SetPacketTimeout", "zero, negative, wider than 16 bits",
       [](Env&) {
         EXPECT_EQ(SetPacketTimeout(0), 81);
         EXPECT_EQ(SetPacketTimeout(-5), 81);
         EXPECT_EQ(SetPacketTimeout(65536), 81);
         EXPECT_EQ(SetPacketTimeout(65536 + 40), 40);
         EXPECT_EQ(SetPacketTimeout(kMin), 81);
       }},
      {"getPacketTimeout", "after a huge value", [](Env&) {
         SetPacketTimeout(kMax);  // low 16 bits -1
         EXPECT_EQ(getPacketTimeout(), 81);
       }},
      {"SetBusyTimeout", "zero and negative",
       [](Env&) {
         EXPECT_EQ(SetBusyTimeout(0), 0);
         EXPECT_EQ(getBusyTimeout(), 300);
         EXPECT_EQ(SetBusyTimeout(-1), -1);
         EXPECT_EQ(getBusyTimeout(), 300);
         EXPECT_EQ(SetBusyTimeout(65535), -1);
       }},
      {"getBusyTimeout", "wider than 16 bits", [](Env&) {
         SetBusyTimeout(65536 + 50);
         EXPECT_EQ(getBusyTimeout(), 50);
       }},
      {"SaveSettings", "without administrator rights",
       [](Env& e) {
         e.platform.elevated = false;
         SaveSettings();
         ASSERT_EQ(gBoxes.size(), 10u);
         for (const Box& b : gBoxes) EXPECT_EQ(b.text, "Settings write blocked: Admin privileges required.");
       }},
      // --- switches ----------------------------------------------------------
      {"SetSpy", "any nonzero 16 bits", [](Env&) {
         EXPECT_EQ(SetSpy(-7), 1);
         EXPECT_EQ(SetSpy(65536), 0);
       }},
      {"getSpy", "after a huge flag", [](Env&) {
         SetSpy(kMax);
         EXPECT_EQ(getSpy(), 1);
       }},
      {"SetAutoEcho", "sign-extended", [](Env&) { EXPECT_EQ(SetAutoEcho(65535), -1); }},
      {"getAutoEcho", "sign-extended", [](Env&) {
         SetAutoEcho(0x18000);
         EXPECT_EQ(getAutoEcho(), -32768);
       }},
      {"SetNoAck", "sign-extended", [](Env&) { EXPECT_EQ(SetNoAck(0x18000), -32768); }},
      {"getNoAck", "wider than 16 bits", [](Env&) {
         SetNoAck(65536);
         EXPECT_EQ(getNoAck(), 0);
       }},
      {"SetEchoCheck", "any nonzero 16 bits", [](Env&) {
         EXPECT_EQ(SetEchoCheck(kMin + 1), 1);
         EXPECT_EQ(SetEchoCheck(kMin), 0);
       }},
      {"GetEchoCheck", "after a negative flag", [](Env&) {
         SetEchoCheck(-1);
         EXPECT_EQ(GetEchoCheck(), 1);
       }},
      {"SetNoErrMsgBox", "sign-extended; refused calls are boxes all the same",
       [](Env&) {
         EXPECT_EQ(SetNoErrMsgBox(0x1FFFF), -1);
         EXPECT_EQ(SetAddrID("S01A2B3", 0, 0), 0);
         ASSERT_EQ(gBoxes.size(), 1u);
         EXPECT_EQ(gBoxes[0].text, kBadCall);
       }},
      {"FreezeEvents", "no callback while frozen",
       [](Env&) {
         EXPECT_EQ(FreezeEvents(-1), -1);
         EXPECT_EQ(GetFirmwareInfo(getLocalAddr()), 1);
         EXPECT_EQ(gFirmwareInfos, 0);
       }},
      {"SetType", "outside 10..240 leaves the type byte the next Query sends",
       [](Env& e) {
         e.Open();
         EXPECT_EQ(SetType(65536 + 10), 10);  // low 16 bits: 10
         for (int32_t t : {9, 241, -1, 0}) EXPECT_EQ(SetType(t), t);
         EXPECT_EQ(Query(5, nullptr, 0, 0), 1);
         const std::vector<uint8_t>& frame = e.bus.device(0).heard().back().bytes;
         ASSERT_EQ(frame.size(), 11u);
         EXPECT_EQ(frame[9], 10) << "the type byte";
       }},
      {"SetResponseMsg", "any value", [](Env&) { EXPECT_EQ(SetResponseMsg(kMin), kMin); }},
      {"GetLastProgramError", "after a refused download",
       [](Env&) {
         EXPECT_EQ(GetLastProgramError(), 0);
         EXPECT_EQ(Program(nullptr, 5, 5, 0, 0, nullptr, 0), 0);
         EXPECT_EQ(GetLastProgramError(), 1);
       }},
      // --- utilities: lengths bound every copy -------------------------------
      {"GetZEVADriverVersion", "null buffer, lengths too short, negative and huge",
       [](Env&) {
         EXPECT_EQ(GetZEVADriverVersion(nullptr, 100), 11);
         for (int32_t length : {11, 0, -1, kMin}) {
           Fenced buffer(11);
           std::memset(buffer.chars(), 'x', 11);
           EXPECT_EQ(GetZEVADriverVersion(buffer.chars(), length), 11) << length;
           EXPECT_EQ(std::string(buffer.chars(), 11), std::string(11, 'x')) << "nothing copied for " << length;
           EXPECT_TRUE(buffer.FenceIntact());
         }
         for (int32_t length : {12, kMax}) {
           Fenced buffer(12);
           EXPECT_EQ(GetZEVADriverVersion(buffer.chars(), length), 11);
           EXPECT_STREQ(buffer.chars(), kVersion);
           EXPECT_TRUE(buffer.FenceIntact()) << length;
         }
       }},
      {"copystring", "null pointers, sizes too small, negative and huge",
       [](Env&) {
         Exact source = Exact::Text("abcdef");
         Fenced out(7);
         EXPECT_EQ(copystring(nullptr, out.chars(), 7), 0);
         EXPECT_EQ(copystring(source.text(), nullptr, 7), 0);
         EXPECT_EQ(copystring(source.text(), out.chars(), 0), 7);
         for (int32_t size : {6, 1, -1, kMin}) {
           Fenced small(6);
           std::memset(small.chars(), 'x', 6);
           EXPECT_EQ(copystring(source.text(), small.chars(), size), 0) << size;
           EXPECT_EQ(std::string(small.chars(), 6), "xxxxxx") << "nothing copied for " << size;
           EXPECT_TRUE(small.FenceIntact());
         }
         EXPECT_EQ(copystring(source.text(), out.chars(), kMax), 6);
         EXPECT_STREQ(out.chars(), "abcdef");
         EXPECT_TRUE(out.FenceIntact());
       }},
      // --- output buffer and data blocks -------------------------------------
      {"ClearBuffer", "zeroes the six bytes", [](Env& e) {
         std::memset(e.ctx().transact.outputBuffer, 0xEE, 6);
         EXPECT_EQ(ClearBuffer(), 0);
         EXPECT_EQ(std::vector<uint8_t>(e.ctx().transact.outputBuffer, e.ctx().transact.outputBuffer + 6), std::vector<uint8_t>(6, 0));
       }},
      {"SetInt", "indexes outside 0..1",
       [](Env& e) {
         for (int32_t index : {2, -1, 65535, kMax, kMin + 2}) SetInt(0x1234, index);
         EXPECT_EQ(std::vector<uint8_t>(e.ctx().transact.outputBuffer, e.ctx().transact.outputBuffer + 6), std::vector<uint8_t>(6, 0));
         SetInt(0x7ABCD, 65537);  // index and value 16-bit: word 1
         EXPECT_EQ(e.ctx().transact.outputBuffer[2], 0xCD);
         EXPECT_EQ(e.ctx().transact.outputBuffer[3], 0xAB);
       }},
      {"SetByte", "values outside 0..255, indexes outside 0..3",
       [](Env& e) {
         SetByte(256, 0);
         SetByte(-1, 0);
         SetByte(5, 4);
         SetByte(5, 5);
         SetByte(5, -1);
         SetByte(5, kMin + 6);  // low 16 bits 6
         EXPECT_EQ(std::vector<uint8_t>(e.ctx().transact.outputBuffer, e.ctx().transact.outputBuffer + 6), std::vector<uint8_t>(6, 0));
       }},
      {"SetOut", "bits outside 0..15",
       [](Env& e) {
         for (int32_t bit : {16, -1, kMax, 32768}) {
           EXPECT_EQ(SetOut(bit, 1), kBoxAnswer) << bit;
         }
         ASSERT_EQ(gBoxes.size(), 4u);
         EXPECT_EQ(gBoxes[0].text, "Index out of range in SetOut");
         EXPECT_EQ(gBoxes[0].caption, kCaption);
         EXPECT_EQ(std::vector<uint8_t>(e.ctx().transact.outputBuffer, e.ctx().transact.outputBuffer + 6), std::vector<uint8_t>(6, 0));
         EXPECT_EQ(SetOut(65536 + 3, 1), 8);
       }},
      {"GetInt", "null block, indexes outside 0..1",
       [](Env&) {
         Exact block({0x34, 0x12, 0xCD, 0xAB, 0, 0});
         EXPECT_EQ(GetInt(nullptr, 0), 0);
         EXPECT_EQ(GetInt(nullptr, 2), 2);
         for (int32_t index : {2, 7, -1, kMax, kMin + 2}) EXPECT_EQ(GetInt(block.get(), index), index);
         EXPECT_EQ(GetInt(block.get(), 1) & 0xFFFF, 0xABCD);
       }},
      {"GetByte", "null block, indexes outside 0..5",
       [](Env&) {
         Exact block({1, 2, 3, 4, 5, 6});
         EXPECT_EQ(GetByte(nullptr, 0), 0);
         for (int32_t index : {6, -1, 1000, kMax, kMin + 6}) EXPECT_EQ(GetByte(block.get(), index), 0) << index;
         EXPECT_EQ(GetByte(block.get(), 65536 + 5), 6);
       }},
      {"GetType", "null block", [](Env&) {
         Exact block({1, 2, 3, 4, 5, 0x2A});
         EXPECT_EQ(GetType(nullptr), 0);
         EXPECT_EQ(GetType(block.get()), 0x2A);
       }},
      // --- sending -----------------------------------------------------------
      {"Send", "port closed; addresses and modes out of range",
       [](Env& e) {
         EXPECT_EQ(Send(5, 20, 0), 16);
         e.Open();
         SetInt(0x1234, 0);
         for (int32_t address : {128, -1, 0x10080, kMax}) EXPECT_EQ(Send(address, 20, 0), 99) << address;
         for (int32_t mode : {2, -1, 65536, kMin}) EXPECT_EQ(Send(5, 20, mode), 99) << mode;
         EXPECT_EQ(e.ctx().transact.outputBuffer[0], 0x34) << "a refused Send leaves the buffer";
         EXPECT_EQ(Send(65536 + 5, 20, 0), 1) << "the low 16 bits are the address";
       }},
      {"SendData", "null data, negative and huge lengths, modes out of range",
       [](Env& e) {
         Exact data({1, 2, 3, 4, 5, 6});
         EXPECT_EQ(SendData(5, 0, 1, data.get(), 6), 16);
         e.Open();
         EXPECT_EQ(SendData(5, 0, 1, nullptr, 6), 99);
         EXPECT_EQ(SendData(5, 0, 1, nullptr, -1), 99);
         EXPECT_EQ(SendData(5, 0, 1, nullptr, 65536), 1) << "length 0 in 16 bits: nothing to read";
         EXPECT_EQ(SendData(200, 0, 1, data.get(), 6), 99);
         for (int32_t mode : {3, -1, 65536}) EXPECT_EQ(SendData(5, mode, 1, data.get(), 6), 99) << mode;
         // Unacknowledged: only the first frame goes, six bytes are read.
         EXPECT_EQ(SendData(5, 1, 1, data.get(), -1), 1);
         EXPECT_EQ(SendData(5, 1, 1, data.get(), kMax), 1);
         EXPECT_EQ(SendData(5, 0, 1, data.get(), 65536 + 6), 1);
       }},
      {"sendRaw", "port closed, null bytes and result, short, negative lengths",
       [](Env& e) {
         Exact frame({0xFE, 0x05, 0x01, 0xC1, 1, 2, 3, 4, 5, 6, 0});
         int16_t result = 77;
         EXPECT_EQ(sendRaw(frame.get(), 11, &result, 1), 0);
         e.Open();
         EXPECT_EQ(sendRaw(nullptr, 11, &result, 1), 0);
         EXPECT_EQ(sendRaw(nullptr, 11, &result, 0), 0);
         for (int32_t length : {3, 0, -1, kMin}) {
           Exact shortFrame({0xFE, 0x05, 0x01});
           EXPECT_EQ(sendRaw(shortFrame.get(), length, &result, 1), 0) << length;
         }
         EXPECT_EQ(sendRaw(frame.get(), -1, &result, 0), 0);
         EXPECT_EQ(sendRaw(frame.get(), kMin, &result, 0), 0);
         EXPECT_EQ(result, 77) << "untouched when nothing was written";
         EXPECT_EQ(sendRaw(frame.get(), 11, nullptr, 1), 1);
         EXPECT_EQ(frame.get()[10], 0x5C);
         EXPECT_EQ(sendRaw(frame.get(), 11, &result, 65536 + 1), 1);
         EXPECT_EQ(result, 0x5C);
       }},
      {"TestStream", "port closed, negative and huge counts",
       [](Env& e) {
         EXPECT_EQ(TestStream(0x55, 4), 0);
         e.Open();
         for (int32_t count : {-1, kMax, kMin + 0x8000, 32768}) EXPECT_EQ(TestStream(0x55, count), 0) << count;
         EXPECT_EQ(TestStream(kMin + 0x55, 65536 + 4), 1);
       }},
      // --- port and client window --------------------------------------------
      {"OpenCOM", "null, stale and repeated windows",
       [](Env& e) {
         EXPECT_EQ(OpenCOM(nullptr), 0);
         EXPECT_EQ(IsOpen(), 0);
         // Fault: a window that is gone opened the port (result 1) for
         // events nobody could take. Nothing is attached or opened for it.
         HWND stale = e.Stale();
         EXPECT_EQ(OpenCOM(stale), 0);
         EXPECT_EQ(IsOpen(), 0);
         EXPECT_EQ(OpenCOM(e.window), 1);
         EXPECT_EQ(OpenCOM(stale), 0);
         EXPECT_EQ(OpenCOM(e.window), 0) << "already open";
         EXPECT_NE(GetWindowLongPtrA(e.window, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&ClientProc))
             << "a refused window leaves the bridge where it was";
         EXPECT_EQ(GetFirmwareInfo(5), 1);
         EXPECT_EQ(gFirmwareInfos, 1);
       }},
      {"CloseCOM", "closed, twice, and from a callback in the middle of a transfer",
       [](Env& e) {
         CloseCOM();
         e.Open();
         CloseCOM();
         CloseCOM();
         EXPECT_EQ(IsOpen(), 0);
         e.Open();
         gDuringBody = [](int32_t) { CloseCOM(); };
         Exact body(std::vector<uint8_t>(600, 0x42));
         EXPECT_EQ(ProgramDirect("S01A2B3", 5, 5, 0, 0, body.get(), body.size()), 0);
         EXPECT_EQ(GetLastProgramError(), 3);
         EXPECT_EQ(IsOpen(), 0);
         gDuringBody = nullptr;
         e.Open();
         EXPECT_EQ(GetFirmwareInfo(5), 1);
       }},
      {"IsOpen", "after a failed open", [](Env& e) {
         SetCOMPort(128);
         EXPECT_EQ(OpenCOM(e.window), 0);
         EXPECT_EQ(IsOpen(), 0);
       }},
      {"SetCallbackEvents", "every callback null",
       [](Env& e) {
         SetCallbackEvents(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr);
         SetNoErrMsgBox(1);
         e.Open();
         EXPECT_EQ(GetFirmwareInfo(5), 1);
         EXPECT_EQ(MakeMap(), 1);
         EXPECT_EQ(Query(9, nullptr, 1, 0), 0);
         e.Serve();
         EXPECT_TRUE(e.NoReport());
       }},
      {"SetClientHWND", "stale and null windows",
       [](Env& e) {
         SetClientHWND(e.Stale());
         SetClientHWND(nullptr);
         e.Open();
         SetClientHWND(e.Stale());
         EXPECT_EQ(GetFirmwareInfo(5), 0) << "its events reach no window";
         SetClientHWND(nullptr);
         CloseCOM();
         EXPECT_EQ(OpenCOM(e.window), 1);
         EXPECT_EQ(GetFirmwareInfo(5), 1);
       }},
      // --- device services: closed port, addresses out of range ----------------
      {"Reboot", "port closed; addresses off the bus (256 rebooted every device)", [](Env& e) {
         EXPECT_EQ(Reboot(5), 0);
         EXPECT_EQ(Reboot(kMin), 0);
         EXPECT_TRUE(e.NoReport());
         e.Open();
         e.NothingSentOffTheBus(&Reboot);
       }},
      {"ClearRemoteError", "port closed; an address nobody has",
       [](Env& e) {
         EXPECT_EQ(ClearRemoteError(5), 0);
         EXPECT_TRUE(e.NoReport());
         SetNoErrMsgBox(1);
         e.Open();
         EXPECT_EQ(ClearRemoteError(0x10000 + 99), 0) << "not acknowledged";
         e.Serve();
         ASSERT_EQ(gDriverErrors.size(), 1u);
         EXPECT_EQ(gDriverErrors[0].first, 2);
         gDriverErrors.clear();
         // 256 cleared every device's error.
         e.NothingSentOffTheBus(&ClearRemoteError);
       }},
      {"Stop", "port closed; addresses off the bus (256 stopped every device)", [](Env& e) {
         EXPECT_EQ(Stop(-1), 0);
         EXPECT_TRUE(e.NoReport());
         e.Open();
         e.NothingSentOffTheBus(&Stop);
         EXPECT_EQ(e.bus.device(0).run_state(), sim::RunState::kRunning);
       }},
      {"ResetComm", "port closed; addresses off the bus", [](Env& e) {
         EXPECT_EQ(ResetComm(kMax), 0);
         EXPECT_TRUE(e.NoReport());
         e.Open();
         e.NothingSentOffTheBus(&ResetComm);
       }},
      {"Restart", "a port that does not open",
       [](Env&) {
         SetCOMPort(9);
         EXPECT_EQ(Restart(), 0);
         EXPECT_EQ(IsOpen(), 0);
         ASSERT_FALSE(gBoxes.empty());
         EXPECT_EQ(gBoxes.back().text, "Can't open device communication channel");
       }},
      {"GetFirmwareInfo", "port closed; addresses off the bus (261 asked device 5)",
       [](Env& e) {
         EXPECT_EQ(GetFirmwareInfo(5), 0);
         EXPECT_TRUE(e.NoReport());
         e.Open();
         e.NothingSentOffTheBus(&GetFirmwareInfo);
         EXPECT_EQ(gFirmwareInfos, 0);
       }},
      {"MakeMap", "port closed", [](Env& e) {
         EXPECT_EQ(MakeMap(), 0);
         EXPECT_TRUE(e.NoReport());
       }},
      {"MapAbort", "without a map: no effect on the next",
       [](Env& e) {
         MapAbort();
         e.Open();
         EXPECT_EQ(MakeMap(), 1);
         MapAbort();
         MapAbort();
       }},
      {"GetRemoteError", "port closed; out-of-range address",
       [](Env& e) {
         EXPECT_EQ(GetRemoteError(5), 0);
         EXPECT_TRUE(e.NoReport());
         e.Open();
         EXPECT_EQ(GetRemoteError(kMin + 300), 0);
         e.NothingSentOffTheBus(&GetRemoteError);
       }},
      {"Query", "port closed; null data; an address nobody has",
       [](Env& e) {
         Exact data({1, 2, 3, 4, 5, 6});
         EXPECT_EQ(Query(5, data.get(), 0, 0), 0);
         EXPECT_TRUE(e.NoReport());
         e.Open();
         EXPECT_EQ(Query(5, data.get(), 0, 0), 1);
         SetByte(9, 0);
         EXPECT_EQ(Query(5, nullptr, 0, 0), 1);
         EXPECT_EQ(e.ctx().transact.outputBuffer[4], 0);
         EXPECT_EQ(Query(-1, data.get(), kMin, kMax), 0);
         e.NothingSentOffTheBus([&data](int32_t address) { return Query(address, data.get(), 0, 0); });
       }},
      {"SetAddrID", "null, bad and long serial texts; addresses 0 and this station",
       [](Env& e) {
         SetClientHWND(e.window);  // the window the port is reopened for
         const int32_t local = getLocalAddr();
         EXPECT_EQ(SetAddrID(nullptr, 5, 0), 0);
         EXPECT_EQ(SetAddrID("", 5, 0), 0);
         EXPECT_EQ(SetAddrID("s01A2B3", 5, 0), 0);
         EXPECT_EQ(SetAddrID("S01A2B3", 0, 0), 0);
         EXPECT_EQ(SetAddrID("S01A2B3", 65536, 0), 0);
         EXPECT_EQ(SetAddrID("S01A2B3", local, 0), 0);
         EXPECT_EQ(SetAddrID("S01A2B3", 65536 + local, 0), 0);
         EXPECT_EQ(gBoxes.size(), 7u);
         for (const Box& b : gBoxes) EXPECT_EQ(b.text, kBadCall);
         for (const char* serial : {"S", "S01A2B3FFFFFFFFFF", "Szz"}) {
           Exact text = Exact::Text(serial);  // read no further than its terminator
           EXPECT_EQ(SetAddrID(text.text(), 9, kMin), 1) << serial;
         }
         EXPECT_EQ(IsOpen(), 0) << "left closed as it was";
       }},
      {"Program", "null data, lengths outside 0..65535, bad target",
       [](Env&) {
         Exact body({1, 2, 3, 4, 5, 6});
         for (int32_t length : {-1, 65536, kMax, kMin}) {
           EXPECT_EQ(Program("S01A2B3", 5, 5, 0, 0, body.get(), length), 0) << length;
           EXPECT_EQ(GetLastProgramError(), 1);
         }
         EXPECT_EQ(Program("S01A2B3", 5, 5, 0, 0, nullptr, 6), 0);
         EXPECT_EQ(Program(nullptr, 5, 5, 0, 0, body.get(), 6), 0);
         EXPECT_EQ(Program("S01A2B3", 0, 5, 0, 0, body.get(), 6), 0);
         EXPECT_EQ(GetLastProgramError(), 1);
         EXPECT_EQ(gBoxes.size(), 7u);
         EXPECT_EQ(IsOpen(), 0);
       }},
      {"ProgramDirect", "null data, lengths outside 0..65535; a body cut to its length",
       [](Env& e) {
         SetClientHWND(e.window);  // the window the port is reopened for
         Exact body({1, 2, 3, 4, 5, 6, 7});
         for (int32_t length : {-6, 65536 + 6, kMin}) {
           EXPECT_EQ(ProgramDirect("S01A2B3", 5, 5, 0, 0, body.get(), length), 0) << length;
           EXPECT_EQ(GetLastProgramError(), 1);
         }
         EXPECT_EQ(ProgramDirect("S01A2B3", 5, 5, 0, 0, nullptr, 7), 0);
         EXPECT_EQ(ProgramDirect("S01A2B3", 65536 + getLocalAddr(), 5, 0, 0, body.get(), 7), 0);
         EXPECT_EQ(GetLastProgramError(), 1);
         EXPECT_EQ(gBoxes.size(), 5u);
         // Seven bytes of body, read no further.
         EXPECT_EQ(ProgramDirect("S01A2B3", 5, 5, 0, 0, body.get(), body.size()), 1);
         EXPECT_EQ(GetLastProgramError(), 0);
         EXPECT_EQ(e.bus.device(0).program().status, sim::ProgramStatus::kOk);
         EXPECT_EQ(e.bus.device(0).program().bytes, std::vector<uint8_t>({1, 2, 3, 4, 5, 6, 7}));
       }},
#if !defined(_WIN32)
      // --- the window system (POSIX only: on Win32 it is the system's) -------
      {"CreateMessageWindow", "null procedure", [](Env&) { EXPECT_EQ(CreateMessageWindow(nullptr), nullptr); }},
      {"DestroyWindow", "null, stale, destroyed twice",
       [](Env& e) {
         EXPECT_EQ(DestroyWindow(nullptr), 0);
         EXPECT_EQ(DestroyWindow(e.Stale()), 0);
         EXPECT_EQ(DestroyWindow(reinterpret_cast<HWND>(uintptr_t{0xDEADBEEF})), 0);
         // The client window goes in the middle of a transfer: its events
         // reach nobody and the transfer fails.
         e.Open();
         gDuringBody = [&e](int32_t) { DestroyWindow(e.window); };
         Exact body(std::vector<uint8_t>(600, 0x42));
         EXPECT_EQ(ProgramDirect("S01A2B3", 5, 5, 0, 0, body.get(), body.size()), 0);
         EXPECT_EQ(GetLastProgramError(), 3);
         EXPECT_EQ(DestroyWindow(e.window), 0);
       }},
      {"RegisterWindowMessageA", "null and empty names", [](Env&) {
         EXPECT_EQ(RegisterWindowMessageA(nullptr), 0u);
         EXPECT_EQ(RegisterWindowMessageA(""), 0u);
       }},
      {"PostMessageA", "stale and forged windows", [](Env& e) {
         EXPECT_EQ(PostMessageA(e.Stale(), 0x400, 0, 0), 0);
         EXPECT_EQ(PostMessageA(reinterpret_cast<HWND>(~uintptr_t{0}), 0x400, 0, 0), 0);
       }},
      {"GetMessageA", "null message, stale window",
       [](Env& e) {
         MSG msg;
         EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
         EXPECT_EQ(GetMessageA(&msg, e.Stale(), 0, 0), -1);
       }},
      {"PeekMessageA", "null message, stale window",
       [](Env& e) {
         MSG msg;
         PostMessageA(e.window, 0x400, 0, 0);
         EXPECT_EQ(PeekMessageA(nullptr, nullptr, 0, 0, PM_REMOVE), 0);
         EXPECT_EQ(PeekMessageA(&msg, e.Stale(), 0, 0, PM_REMOVE), 0);
         EXPECT_EQ(PeekMessageA(&msg, e.window, 0, 0, kMax), 1) << "any remove flag with PM_REMOVE set";
       }},
      {"DispatchMessageA", "null message, stale window",
       [](Env& e) {
         EXPECT_EQ(DispatchMessageA(nullptr), 0);
         const MSG msg{e.Stale(), 0x400, 1, 2, 0};
         EXPECT_EQ(DispatchMessageA(&msg), 0);
       }},
      {"PostQuitMessage", "negative code",
       [](Env&) {
         PostQuitMessage(-1);
         MSG msg;
         EXPECT_EQ(GetMessageA(&msg, nullptr, 0x400, 0x400), 0) << "a filter never hides WM_QUIT";
         EXPECT_EQ(static_cast<int>(msg.wParam), -1);
       }},
      {"DefWindowProcA", "stale window", [](Env& e) { EXPECT_EQ(DefWindowProcA(e.Stale(), 0x400, 1, 2), 0); }},
      {"CallWindowProcA", "null procedure", [](Env& e) {
         EXPECT_EQ(CallWindowProcA(nullptr, e.window, 0x400, 0, 0), 0);
       }},
      {"SetWindowLongPtrA", "stale window, null procedure, other index",
       [](Env& e) {
         const auto proc = reinterpret_cast<LONG_PTR>(&OtherProc);
         EXPECT_EQ(SetWindowLongPtrA(e.Stale(), GWLP_WNDPROC, proc), 0);
         EXPECT_EQ(SetWindowLongPtrA(e.window, GWLP_WNDPROC, 0), 0);
         EXPECT_EQ(SetWindowLongPtrA(e.window, -8, proc), 0);
         EXPECT_EQ(GetWindowLongPtrA(e.window, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&ClientProc));
       }},
      {"GetWindowLongPtrA", "stale window, other index", [](Env& e) {
         EXPECT_EQ(GetWindowLongPtrA(e.Stale(), GWLP_WNDPROC), 0);
         EXPECT_EQ(GetWindowLongPtrA(e.window, kMin), 0);
       }},
      {"MessageBoxA", "null texts and stale owner",
       [](Env& e) {
         EXPECT_EQ(MessageBoxA(e.Stale(), nullptr, nullptr, 0), kBoxAnswer);
         ASSERT_EQ(gBoxes.size(), 1u);
         EXPECT_EQ(gBoxes[0].text, "");
       }},
      {"SetMessageBoxHook", "null restores the default",
       [](Env&) {
         EXPECT_EQ(SetMessageBoxHook(nullptr), &RecordBox);
         const ZEVA_MESSAGEBOX_HOOK standard = SetMessageBoxHook(&RecordBox);
         EXPECT_NE(standard, nullptr);
         EXPECT_NE(standard, &RecordBox);
       }},
#endif
  };
  return rows;
}

class BadInputTest : public ::testing::TestWithParam<size_t> {
 protected:
  void SetUp() override { previous_ = SetMessageBoxHook(&RecordBox); }
  void TearDown() override { SetMessageBoxHook(previous_); }
  ZEVA_MESSAGEBOX_HOOK previous_ = nullptr;
};

TEST_P(BadInputTest, DocumentedResultAndNothingOutOfBounds) {
  const Row& row = Rows()[GetParam()];
  SCOPED_TRACE(std::string(row.name) + ": " + row.input);
  Env env;
  row.check(env);
}

INSTANTIATE_TEST_SUITE_P(Exports, BadInputTest, ::testing::Range<size_t>(0, Rows().size()),
                         [](const auto& info) { return std::string(Rows()[info.param].name); });


TEST(BadInputTable, HasARowForEveryExport) {
  const std::set<std::string> listed = ListedExports();
  ASSERT_GT(listed.size(), 40u);
  std::set<std::string> covered;
  for (const Row& row : Rows()) {
    EXPECT_TRUE(covered.insert(row.name).second) << "two rows for " << row.name;
    EXPECT_TRUE(listed.count(row.name)) << row.name << " is not an export";
  }
  for (const std::string& name : listed) EXPECT_TRUE(covered.count(name)) << "no row for " << name;
}

}  // namespace
}  // namespace zeva::api_test
