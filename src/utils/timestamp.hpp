// Wall-clock time stamps.
#pragma once

#include <cstdint>

namespace nefa {

// Seconds since the Unix epoch as a double (whole seconds plus nanoseconds /
// 1e9). Throws InternalError "System time is before unix epoch" when the clock
// reads earlier than 1970. No interpreter lock needed.
double timestamp();

// One reading of the same clock, as seconds (what timestamp() gives) and as
// whole milliseconds: an event's time and its frame id's, read once.
struct WallClock {
    double seconds;
    std::uint64_t millis;
};
WallClock wall_clock();

}  // namespace nefa
