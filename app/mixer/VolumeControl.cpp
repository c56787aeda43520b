#include "app/mixer/VolumeControl.h"

#include <algorithm>

namespace mixer {

long LevelToElement(unsigned level, long minimum, long maximum) {
    const long long span = static_cast<long long>(maximum) - minimum;
    const long long clamped = std::min<long long>(level, kLevelMaximum);
    return minimum + static_cast<long>((clamped * span + kLevelMaximum / 2) / kLevelMaximum);
}

int ElementToLevel(long value, long minimum, long maximum) {
    const long long span = static_cast<long long>(maximum) - minimum;
    if (span <= 0) {
        return 0;
    }
    const long long offset =
        std::clamp<long long>(static_cast<long long>(value) - minimum, 0, span);
    return static_cast<int>((offset * kLevelMaximum + span / 2) / span);
}

}  // namespace mixer
