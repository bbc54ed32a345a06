#pragma once

#include "core/archive/ArchiveItem.h"

#include <string>
#include <utility>

// Listed entries for the tests that only care about a path and its kind.
namespace vexa::testing {

inline ArchiveItem file(std::string path) {
    return {std::move(path), 1, 1, false, false};
}

inline ArchiveItem folder(std::string path) {
    return {std::move(path), 0, 0, true, false};
}

} // namespace vexa::testing
