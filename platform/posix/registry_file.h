// The registry on POSIX: HKEY_LOCAL_MACHINE values kept in <prefix>/system.reg
// in the registry export text format. Every operation reads the file anew;
// every change rewrites it atomically (temporary file, fsync, rename), so a
// reader never sees half a file and an interrupted write loses nothing.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace zeva::posix {

class RegFileRegistry : public platform::Registry {
 public:
  // Follows ZevaPrefix() at every operation.
  RegFileRegistry() = default;
  // A fixed prefix directory.
  explicit RegFileRegistry(std::string prefix) : prefix_(std::move(prefix)) {}

  bool OpenKey(std::string_view path) override;
  platform::RegStatus QueryValue(std::string_view path, std::string_view name, size_t capacity,
                                 platform::RegType* type, std::vector<uint8_t>* data) override;
  platform::RegStatus CreateKey(std::string_view path) override;
  platform::RegStatus SetValue(std::string_view path, std::string_view name, platform::RegType type,
                               const uint8_t* data, size_t size) override;

  std::string Directory() const;
  std::string FilePath() const;

 private:
  std::optional<std::string> prefix_;
};

}  // namespace zeva::posix
