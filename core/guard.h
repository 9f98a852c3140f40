// The guard of every entry the driver offers to C code: the exported
// functions, and the window procedure the window system calls. An exception
// must not cross into a caller that has no idea of one, so it ends there.
#pragma once

#include <type_traits>

namespace zeva {

// Runs `body` and returns its result; when `body` throws, returns the
// result type's zero (0, nullptr), or nothing for a void body.
template <typename Fn>
auto Guarded(Fn&& body) noexcept -> decltype(body()) {
  using Result = decltype(body());
  try {
    return body();
  } catch (...) {
    if constexpr (!std::is_void_v<Result>) return Result{};
  }
}

}  // namespace zeva
