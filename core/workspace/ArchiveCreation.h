#pragma once

#include "core/archive/CreationRequest.h"
#include "platform/Progress.h"

#include <filesystem>

namespace vexa {

// Runs the format's creator and returns the location it wrote.
std::filesystem::path createWithFormat(const CreationRequest& request, Progress& progress);

} // namespace vexa
