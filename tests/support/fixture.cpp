#include "support/fixture.h"
#include "api/lifecycle.h"

namespace zeva::test {
namespace {

std::vector<Box>& Recorded() {
  static std::vector<Box> boxes;
  return boxes;
}

int RecordBox(const char* text, const char* caption, unsigned type) {
  Recorded().push_back({text ? text : "", caption ? caption : "", type});
  return IDOK;
}

}  // namespace

BoxRecorder::BoxRecorder() {
  Recorded().clear();
  // Boxes of the test platform, and on POSIX also those of the real
  // platform, which go to the window system's hook.
  testing::SetBoxHook(&RecordBox);
#if !defined(_WIN32)
  SetMessageBoxHook(&RecordBox);
#endif
}
BoxRecorder::~BoxRecorder() {
  testing::SetBoxHook(nullptr);
#if !defined(_WIN32)
  SetMessageBoxHook(nullptr);
#endif
}
const std::vector<Box>& BoxRecorder::boxes() const { return Recorded(); }
void BoxRecorder::clear() { Recorded().clear(); }

DriverFixture::DriverFixture(uint32_t startTick, bool attach)
    : platform(startTick), ctx(std::make_unique<DriverContext>(platform)) {
  if (attach) ProcessAttach(*ctx);
}

DriverFixture::~DriverFixture() {
  ProcessDetach(*ctx);
  // Leave no message behind for the next test in this thread.
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

}  // namespace zeva::test
