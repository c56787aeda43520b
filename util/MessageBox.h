#pragma once

#include <functional>
#include <string>

#include "util/Export.h"

// A message box requested by library code (typically an engine thread). The program decides how
// it is shown by installing a hook; the hook must not keep the calling thread waiting for a user,
// since an engine thread held by a box could stall the engine's shutdown. Without a hook the box
// is written to stderr as one line "caption: text".
using MessageBoxHook = std::function<void(const std::string& text, const std::string& caption)>;

// Installs the hook (an empty function restores the stderr default). Thread-safe.
UTIL_API void SetMessageBoxHook(MessageBoxHook hook);

// Shows a box with an OK button through the installed hook and returns at once.
UTIL_API void MessageBox(const char* text, const char* caption);

// A short tone requested by library code. The program may install a hook that plays it; without
// one nothing is heard. Never blocks the caller beyond the hook.
using BeepHook = std::function<void(unsigned frequency, unsigned milliseconds)>;
UTIL_API void SetBeepHook(BeepHook hook);
UTIL_API void Beep(unsigned frequency, unsigned milliseconds);
