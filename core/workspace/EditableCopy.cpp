#include "core/workspace/EditableCopy.h"

#include "engines/EngineFactory.h"

namespace vexa {

void saveEditableCopy(ArchiveFormat format, const std::filesystem::path& archive,
                      const std::filesystem::path& destination, Progress& progress,
                      const std::optional<std::string>& password) {
    makeArchiveEditor(format, password)->saveAsSingle(archive, destination, progress);
}

} // namespace vexa
