#include "utils/timestamp.hpp"

#include "utils/refs.hpp"

#include <ctime>

namespace nefa {

double timestamp() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec < 0) throw InternalError("System time is before unix epoch");
    return static_cast<double>(static_cast<unsigned long long>(ts.tv_sec)) +
           static_cast<double>(ts.tv_nsec) / 1'000'000'000.0;
}

}  // namespace nefa
