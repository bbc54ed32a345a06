#pragma once

#include "core/archive/PasswordedArchiveEditor.h"

namespace vexa {

// The 7z format's side of ArchiveEditor: SevenZipWriter for creation, edits and save as
// single, the 7z engine (password not exact) for one entry. New names pass checkNewEntryName;
// an edit with nothing chosen fails with emptySelection. 7z has no repair.
class SevenZipArchiveEditor : public PasswordedArchiveEditor {
  public:
    using PasswordedArchiveEditor::PasswordedArchiveEditor;

    bool savesAsSingle() const override { return true; }
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
