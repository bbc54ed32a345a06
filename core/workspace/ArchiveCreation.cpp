#include "core/workspace/ArchiveCreation.h"

#include "engines/EngineFactory.h"

namespace vexa {

std::filesystem::path createWithFormat(const CreationRequest& request, Progress& progress) {
    return makeArchiveEditor(request.format, request.password)->create(request, progress);
}

} // namespace vexa
