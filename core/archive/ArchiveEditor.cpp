#include "core/archive/ArchiveEditor.h"

#include "core/archive/ArchiveFailure.h"

namespace vexa {

std::pair<std::filesystem::path, bool>
ArchiveEditor::repair(const std::filesystem::path&, const std::filesystem::path&, Progress&) const {
    throw ArchiveFailure::unsupported();
}

bool ArchiveEditor::hidesNames(const std::filesystem::path&) const {
    return false;
}

} // namespace vexa
