#pragma once

#include "core/archive/RarLocator.h"

#include <optional>

namespace vexa::testing {

// Points the rar locator at test folders for one scope and restores the standard places.
class ScopedRarLocations {
  public:
    explicit ScopedRarLocations(RarLocations locations) { setRarLocations(std::move(locations)); }
    ~ScopedRarLocations() { setRarLocations(); }
    ScopedRarLocations(const ScopedRarLocations&) = delete;
    ScopedRarLocations& operator=(const ScopedRarLocations&) = delete;
};

} // namespace vexa::testing
