#include "platform/testing/test_platform.h"

ZEVA_MESSAGEBOX_HOOK SetMessageBoxHook(ZEVA_MESSAGEBOX_HOOK hook) { return zeva::testing::SetBoxHook(hook); }
