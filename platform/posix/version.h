// The library's version resource, compiled in on POSIX.
#pragma once

#include <string>
#include <string_view>

namespace zeva::posix {

// A string of the version resource ("FileVersion", "ProductVersion",
// "FileDescription", "ProductName"); "" for any other name.
std::string VersionResourceString(std::string_view name);

}  // namespace zeva::posix
