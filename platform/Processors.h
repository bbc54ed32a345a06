#pragma once

namespace vexa::platform {

// The cores this process may run on, which a container or taskset may hold below the
// machine's; at least 1.
unsigned usableCores();

} // namespace vexa::platform
