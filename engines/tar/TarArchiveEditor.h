#pragma once

#include "core/archive/ArchiveEditor.h"

namespace vexa {

// The TAR format's side of ArchiveEditor, on TarArchiveEngine. TAR takes no password, applies
// its own name rule, and is never split, so saving as single fails with unsupportedTar (an
// empty text); an add with nothing chosen fails with emptySelection. TAR has no repair.
class TarArchiveEditor : public ArchiveEditor {
  public:
    bool savesAsSingle() const override { return false; }
    // Neither password nor parts; a level for the outer compression.
    CreationAbilities creationAbilities() const override;

    std::filesystem::path create(const CreationRequest& request, Progress& progress) const override;
    std::filesystem::path rename(const std::filesystem::path& archive, const ArchiveItem& item,
                                 const std::string& newName, Progress& progress) const override;
    std::filesystem::path deleteEntries(const std::filesystem::path& archive,
                                        const std::set<std::string>& paths,
                                        Progress& progress) const override;
    std::filesystem::path add(const std::filesystem::path& archive,
                              const std::vector<std::filesystem::path>& sources,
                              const std::string& folder, ArchiveConflictPolicy policy,
                              Progress& progress) const override;
    void saveAsSingle(const std::filesystem::path& archive,
                      const std::filesystem::path& destination, Progress& progress) const override;
    void extractEntry(const ArchiveItem& entry, const std::filesystem::path& archive,
                      const std::filesystem::path& destination, Progress& progress,
                      std::optional<std::int64_t> limit) const override;
};

} // namespace vexa
