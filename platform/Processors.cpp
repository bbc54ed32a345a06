#include "platform/Processors.h"

#include <algorithm>
#include <sched.h>
#include <thread>

namespace vexa::platform {

unsigned usableCores() {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    const int allowed = ::sched_getaffinity(0, sizeof cores, &cores) == 0
                            ? CPU_COUNT(&cores)
                            : static_cast<int>(std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::max(allowed, 1));
}

} // namespace vexa::platform
