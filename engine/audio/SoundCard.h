#pragma once

// The sound-card backend ("" and "default": PortAudio's default input and output devices; any
// other name PortAudio lists opens that device, and a listed name that has gone since opens the
// default device instead).

#include <string>
#include <vector>

#include "engine/Export.h"

namespace zorvo::audio {

// Initialises the sound library (quietly) and returns how many devices it sees; -1 with `error`
// set when the library cannot be initialised.
int SoundCardDeviceCount(std::string* error);

// The names of the sound devices that can capture (`input` true) or play, in the sound library's
// order; empty with `error` set when the library cannot be initialised or list its devices.
VOXLANE_API std::vector<std::string> SoundCardDeviceNames(bool input, std::string* error);

}  // namespace zorvo::audio
