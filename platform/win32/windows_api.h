// The one place the driver's own code includes the system header on Win32:
// its lean part, without the min/max macros that would break std::min and
// std::max in the driver.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
