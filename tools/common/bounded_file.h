// The one way the tools read a file the user names: a regular file, read
// whole up to a bound. A directory, a device (/dev/zero), a pipe or a file
// past the bound is refused with a reason that names the file, before any
// of it is held in memory beyond the bound.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace zeva::tools {

// Text files the tools read (bus descriptions, settings) are far smaller.
constexpr size_t kMaxTextFileBytes = 1 << 20;

// The content of `path`, at most `maxBytes` long; nullopt with
// "PATH: reason" in `error` otherwise.
std::optional<std::string> ReadBoundedFile(const std::string& path, size_t maxBytes, std::string* error);

}  // namespace zeva::tools
