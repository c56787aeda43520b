#pragma once

#include <cstdint>

#include "util/Export.h"

// Milliseconds since an arbitrary start on a steady clock, as a 32-bit value that wraps after
// about 49.7 days. Differences computed in unsigned 32-bit arithmetic stay right across a wrap.
UTIL_API uint32_t GetTickCount();

// Suspends the calling thread for the given number of milliseconds.
UTIL_API void Sleep(uint32_t milliseconds);
