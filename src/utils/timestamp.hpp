// Wall-clock time stamps.
#pragma once

namespace nefa {

// Seconds since the Unix epoch as a double (whole seconds plus nanoseconds /
// 1e9). Throws InternalError "System time is before unix epoch" when the clock
// reads earlier than 1970. No interpreter lock needed.
double timestamp();

}  // namespace nefa
