// HKEY_LOCAL_MACHINE values through the system registry.
#pragma once

#include "platform/platform.h"

namespace zeva::win32 {

class Win32Registry : public platform::Registry {
 public:
  bool OpenKey(std::string_view path) override;
  platform::RegStatus QueryValue(std::string_view path, std::string_view name, size_t capacity,
                                 platform::RegType* type, std::vector<uint8_t>* data) override;
  platform::RegStatus CreateKey(std::string_view path) override;
  platform::RegStatus SetValue(std::string_view path, std::string_view name, platform::RegType type,
                               const uint8_t* data, size_t size) override;
};

// Elevated token (TokenElevation); where that query is missing, membership
// of the administrators (IsUserAnAdmin). Both looked up at run time.
bool IsProcessElevated();

}  // namespace zeva::win32
