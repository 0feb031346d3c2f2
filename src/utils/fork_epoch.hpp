// A counter bumped in the child after every fork(), so that per-process
// state copied into a child (random generators, cached thread identities)
// can tell that it is stale.
#pragma once

#include <cstdint>

namespace nefa {

// The number of forks this process descends from, counted from the first
// call. No interpreter lock needed.
std::uint64_t fork_epoch() noexcept;

}  // namespace nefa
