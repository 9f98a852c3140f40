// A mode switched on for the length of an operation: set when the guard is
// made and put back when it goes out of scope, whichever way the operation
// ends, so an early return cannot leave it set.
#pragma once

#include <type_traits>

namespace zeva {

template <typename T>
class ScopedMode {
 public:
  // Sets `mode` to `during`; the value it had comes back at the end.
  ScopedMode(T& mode, std::type_identity_t<T> during) : ScopedMode(mode, during, mode) {}
  // Sets `mode` to `during`; `after` is left at the end, whatever it was before.
  ScopedMode(T& mode, std::type_identity_t<T> during, std::type_identity_t<T> after)
      : mode_(mode), after_(after) {
    mode_ = during;
  }
  ~ScopedMode() { mode_ = after_; }
  ScopedMode(const ScopedMode&) = delete;
  ScopedMode& operator=(const ScopedMode&) = delete;

 private:
  T& mode_;
  T after_;
};

}  // namespace zeva
