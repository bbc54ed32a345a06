#pragma once

#include "core/archive/PasswordedArchiveEditor.h"

namespace vexa {

// The ZIP format's side of ArchiveEditor, on ZIPArchiveEngine values {password, split size 0,
// no resolved password, buffer size 262144}. The engine applies its own name rule and its own
// answer to an empty selection. Saving a split set as one copies the entries still encrypted,
// so it needs no password. ZIP has no repair.
class ZIPArchiveEditor : public PasswordedArchiveEditor {
  public:
    using PasswordedArchiveEditor::PasswordedArchiveEditor;

    bool savesAsSingle() const override { return true; }
    // A password and parts; compressed or stored, at the engine's own level.
    CreationAbilities creationAbilities() const override {
        return {.password = true, .volumes = true};
    }

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
    // A destination that is one of the set's own parts fails with sourceIsArchive.
    void saveAsSingle(const std::filesystem::path& archive,
                      const std::filesystem::path& destination, Progress& progress) const override;
    void extractEntry(const ArchiveItem& entry, const std::filesystem::path& archive,
                      const std::filesystem::path& destination, Progress& progress,
                      std::optional<std::int64_t> limit) const override;
};

} // namespace vexa
