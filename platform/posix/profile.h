// Profile (".ini") files, read the way GetPrivateProfileString reads them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zeva::posix {

// The value of `key` in `section` of `file`, at most size-1 characters;
// `fallback` (trailing blanks removed, also at most size-1 characters) when
// the file, the section or the key is missing. Section and key names compare
// without regard to case; blanks around names and values are dropped, and so
// are quotes around a whole value; lines starting with ';' are comments.
// A file name without a '/' is looked up in the prefix.
std::string ReadProfileString(std::string_view file, std::string_view section, std::string_view key,
                              std::string_view fallback, size_t size);

// Where a profile file of that name is read from.
std::string ProfilePath(std::string_view file);

}  // namespace zeva::posix
