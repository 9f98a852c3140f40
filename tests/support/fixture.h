// Shared test scaffolding: a driver context over the deterministic test
// platform, and a recorder for message boxes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "api/driver_context.h"
#include "platform/testing/test_platform.h"

namespace zeva::test {

struct Box {
  std::string text;
  std::string caption;
  unsigned type;
};

// Records every message box while it lives (and answers IDOK).
class BoxRecorder {
 public:
  BoxRecorder();
  ~BoxRecorder();
  const std::vector<Box>& boxes() const;
  void clear();
};

// A fresh driver context over a fresh test platform, attached.
class DriverFixture {
 public:
  explicit DriverFixture(uint32_t startTick = 1000, bool attach = true);
  ~DriverFixture();

  testing::TestPlatform platform;
  std::unique_ptr<DriverContext> ctx;
  BoxRecorder boxes;
};

}  // namespace zeva::test
