// The real platform on Win32.
#pragma once

#include "platform/platform.h"
#include "platform/win32/registry.h"
#include "platform/win32/windows_api.h"

namespace zeva::win32 {

class Win32Platform : public platform::Platform {
 public:
  uint32_t TickCount() override;
  void WaitForMessageOrTick(uint32_t tick) override;
  int Rand() override;

  std::unique_ptr<platform::SerialPort> OpenSerial(int portNumber, const platform::SerialConfig& config,
                                                   platform::SerialStatus* status) override;
  std::unique_ptr<platform::EventThread> StartEventThread(platform::SerialPort& port,
                                                          std::function<void()> body,
                                                          std::function<void(uint32_t)> handler) override;

  platform::Registry& registry() override { return registry_; }
  bool IsElevated() override;
  std::string LastErrorText() override;
  std::string ProfileString(std::string_view section, std::string_view key, std::string_view fallback,
                            std::string_view file, size_t size) override;
  // From the version resource of the module that holds the driver.
  std::string VersionString(std::string_view name) override;
  int ShowBox(const char* text, const char* caption, unsigned type) override;

 private:
  Win32Registry registry_;
};

// The library's own module, as the loader handed it to DllMain. Without it
// (the driver linked into a program) the module that holds this code.
void SetModuleHandle(HMODULE module);

}  // namespace zeva::win32
