#include "platform/MemoryBudget.h"

#include "platform/Processors.h"

#include <algorithm>
#include <unistd.h>

namespace vexa::platform {

namespace {

constexpr std::uint64_t floorMemory = 64u << 20;

} // namespace

std::uint64_t machineMemory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

std::uint64_t jobMemory(std::uint64_t peerPeak) {
    const std::uint64_t wanted = std::max(floorMemory, peerPeak);
    const std::uint64_t machine = machineMemory();
    return machine == 0 ? floorMemory : std::min(wanted, machine / 4);
}

unsigned workersWithin(std::uint64_t budget, std::uint64_t shared, std::uint64_t perWorker,
                       unsigned maximum) {
    const std::uint64_t room = budget > shared ? budget - shared : 0;
    const std::uint64_t fitting = perWorker == 0 ? maximum : room / perWorker;
    return static_cast<unsigned>(
        std::max<std::uint64_t>(1, std::min<std::uint64_t>({fitting, usableCores(), maximum})));
}

} // namespace vexa::platform
