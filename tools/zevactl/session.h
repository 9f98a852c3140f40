// zevactl's side of the driver: one message window, the ten callbacks, and
// what they delivered during the current command.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zeva232_posix.h"

namespace zevactl {

using Json = nlohmann::ordered_json;

// Text from outside (product names, device reports, the settings file) as it
// may reach a terminal and a JSON document: control characters and bytes
// that are not UTF-8 become '?'. Line ends stay when `lines`.
std::string Printable(const char* text, bool lines = false);

struct FoundDevice {
  int address = 0;
  std::string serial;
  int product = 0;
  int versionLow = 0;
  int versionHigh = 0;
};

struct FirmwareInfo {
  int address = 0;
  std::string serial;
  int product = 0;
  std::string name;
  std::string version;
};

struct RemoteErrorReport {
  int address = 0;
  int code = 0;
  std::string report;
};

struct QueryReply {
  int address = 0;
  std::vector<uint8_t> bytes;
};

struct DriverError {
  int code = 0;
  std::string text;
};

// How results and progress are shown.
struct OutputMode {
  bool json = false;
  bool quiet = false;
  bool progressBar = false;  // standard error is a terminal
};

// Set by SIGINT; the long operations look at it.
extern std::atomic<bool> g_interrupted;

class Session {
 public:
  explicit Session(OutputMode mode);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  HWND window() const { return window_; }
  const OutputMode& mode() const { return mode_; }

  // Serves the messages already queued, so that late events (a driver
  // error posted at the end of an operation) reach their callbacks.
  void Drain();

  // Information and progress go to standard error, never with --quiet.
  void Note(const std::string& text) const;
  void Progress(int percent, const std::string& label);
  void EndProgress();

  // What the callbacks delivered.
  std::vector<FoundDevice> found;
  std::vector<FirmwareInfo> firmware;
  std::vector<RemoteErrorReport> remoteErrors;
  std::vector<QueryReply> queryReplies;
  std::vector<DriverError> errors;
  std::vector<std::string> boxes;
  std::vector<std::string> stages;  // OnProgress texts, in order
  // Failures zevactl itself found, said on standard error and listed in the
  // JSON errors without a driver code.
  std::vector<std::string> failures;
  void Fail(const std::string& text);
  // Whether the port's terminal has gone (unplugged, simulator ended): the
  // driver goes on as if sending, so zevactl looks for itself.
  std::function<bool()> portGone;
  std::string portName;
  bool portLost = false;
  bool PortLost();
  // Driver errors of code 2 ("not delivered") are held, not printed, while
  // a request to one address runs: its command says "no answer" instead.
  bool holdUndelivered = false;
  // After a request to `address` failed: says why, once.
  void NoAnswer(int address);
  int mapAddress = -1;
  bool mapAborted = false;
  bool programDone = false;
  bool monitoring = false;

  Json ErrorsJson() const;

 private:
  OutputMode mode_;
  HWND window_ = nullptr;
  bool barShown_ = false;
  std::string lastStage_;
};

// The session the callbacks report to (one per process).
Session* CurrentSession();

}  // namespace zevactl
