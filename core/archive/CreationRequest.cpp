#include "core/archive/CreationRequest.h"

#include <limits>

namespace vexa {

int creatorLevel(std::int64_t level) {
    constexpr auto lowest = std::numeric_limits<int>::min();
    constexpr auto highest = std::numeric_limits<int>::max();
    return static_cast<int>(level < lowest ? lowest : level > highest ? highest : level);
}

} // namespace vexa
