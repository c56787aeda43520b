#pragma once

#include <cstdint>
#include <functional>

// One line of the sound card's mixer behind a volume slider. Levels are on a 16-bit scale
// (0..65535) whatever the element's own range is; the line scales them to and from that range.
// Everything runs on the GUI thread.

// Told of a volume change made outside the program, with the new level and the value given to
// SetChangeHandler.
using VolumeChangeHandler = std::function<void(int value, uint32_t userData)>;

class VolumeControl {
  public:
    virtual ~VolumeControl() = default;

    // The line's volume element was found and can be set.
    virtual bool IsUsable() const = 0;
    // Makes the line take part: output lines are unmuted, the microphone is switched on for
    // capture (and chosen as the capture source where the card has such a choice).
    virtual void Activate() = 0;
    // The reverse for output lines (mute); the microphone does nothing.
    virtual void Deactivate() = 0;
    // Steps of the element's own range; -1 when not usable.
    virtual int GetStepCount() const = 0;
    // Bounds of the level scale (0 and 65535); -1 when not usable.
    virtual int GetMinimum() const = 0;
    virtual int GetMaximum() const = 0;
    // Level of the first channel; -1 when not usable or when the mixer refuses.
    virtual int GetLevel() const = 0;
    // Sets every channel; a value outside GetMinimum()..GetMaximum() changes nothing.
    virtual void SetLevel(unsigned value) = 0;
    virtual void SetChangeHandler(VolumeChangeHandler handler, uint32_t userData) = 0;
};

namespace mixer {

// The level scale of VolumeControl.
inline constexpr int kLevelMaximum = 65535;

// Slider position 0..255 to level: (position AND 255) x 256, so 255 gives 65280.
constexpr unsigned SliderToLevel(int position) {
    return (static_cast<unsigned>(position) & 255u) * 256u;
}

// Level to slider position: (level shifted right by 8, unsigned) AND 255; -1 reads as 255.
constexpr int LevelToSlider(int level) {
    return static_cast<int>((static_cast<unsigned>(level) >> 8) & 255u);
}

// A level (0..65535) on an element whose own range is minimum..maximum, rounded to the nearest
// step so that a level read back gives the slider position it was set from.
long LevelToElement(unsigned level, long minimum, long maximum);

// An element's value in minimum..maximum as a level (0..65535), rounded; values outside the
// range are clamped.
int ElementToLevel(long value, long minimum, long maximum);

}  // namespace mixer
