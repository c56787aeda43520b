#pragma once

#include "engine/Export.h"

// Whether a frame of signed 16-bit samples holds speech: more than a fifth of its samples lie
// beyond +/- sensitivity * 128 (a sample exactly on the threshold does not count). A larger
// sensitivity value makes detection less sensitive; 0 counts every non-zero sample.
VOXLANE_API int FrameHasVoice(const char* samples, unsigned count, int sensitivity);
