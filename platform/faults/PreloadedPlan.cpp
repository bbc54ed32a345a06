// A whole program with the seam preloaded takes its plan from the environment at start-up.
#include "platform/FaultInjection.h"

namespace {

[[gnu::constructor]] void armFromEnvironmentAtLoad() {
    vexa::faults::armFromEnvironment();
}

} // namespace
