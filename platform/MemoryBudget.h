#pragma once

#include <cstdint>

namespace vexa::platform {

// The machine's memory in bytes, as the kernel reports it; 0 when it cannot be read.
std::uint64_t machineMemory();

// What one job may hold: 64 MiB, or `peerPeak` (what the fastest comparable program needs for
// the same work) where that is higher, never more than a quarter of the machine's memory.
std::uint64_t jobMemory(std::uint64_t peerPeak);

// How many workers of `perWorker` bytes each fit `budget` beside `shared` bytes held for all
// of them, within the usable cores and `maximum`; at least 1, so a small machine still works,
// one worker at a time.
unsigned workersWithin(std::uint64_t budget, std::uint64_t shared, std::uint64_t perWorker,
                       unsigned maximum);

} // namespace vexa::platform
