#include "utils/timestamp.hpp"

#include "common/refs.hpp"

#include <ctime>

namespace nefa {

WallClock wall_clock() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec < 0) throw InternalError("System time is before unix epoch");
    const auto seconds = static_cast<unsigned long long>(ts.tv_sec);
    return {static_cast<double>(seconds) + static_cast<double>(ts.tv_nsec) / 1'000'000'000.0,
            seconds * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000};
}

double timestamp() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec < 0) throw InternalError("System time is before unix epoch");
    return static_cast<double>(static_cast<unsigned long long>(ts.tv_sec)) +
           static_cast<double>(ts.tv_nsec) / 1'000'000'000.0;
}

}  // namespace nefa
