// The real platform on POSIX.
#pragma once

#include <memory>

#include "platform/platform.h"
#include "platform/posix/registry_file.h"

namespace zeva::posix {

// Opens COM`portNumber` (the termios port, serial_port.cpp).
std::unique_ptr<platform::SerialPort> OpenSerialPort(int portNumber, const platform::SerialConfig& config,
                                                     platform::SerialStatus* status);

class PosixPlatform : public platform::Platform {
 public:
  uint32_t TickCount() override;
  void WaitForMessageOrTick(uint32_t tick) override;
  int Rand() override;

  std::unique_ptr<platform::SerialPort> OpenSerial(int portNumber, const platform::SerialConfig& config,
                                                   platform::SerialStatus* status) override;
  std::unique_ptr<platform::EventThread> StartEventThread(platform::SerialPort& port,
                                                          std::function<void()> body,
                                                          std::function<void(uint32_t)> handler) override;

  // system.reg under whatever ZEVA_PREFIX says at the time of each call.
  platform::Registry& registry() override { return registry_; }
  bool IsElevated() override;
  std::string LastErrorText() override;
  std::string ProfileString(std::string_view section, std::string_view key, std::string_view fallback,
                            std::string_view file, size_t size) override;
  std::string VersionString(std::string_view name) override;
  int ShowBox(const char* text, const char* caption, unsigned type) override;

 private:
  RegFileRegistry registry_;
};

}  // namespace zeva::posix
