#pragma once

// The sound-card backend ("" and "default": PortAudio's default input and output devices).

#include <string>

namespace zorvo::audio {

// Initialises the sound library (quietly) and returns how many devices it sees; -1 with `error`
// set when the library cannot be initialised.
int SoundCardDeviceCount(std::string* error);

}  // namespace zorvo::audio
