#pragma once

#include "core/archive/PasswordedArchiveEditor.h"

namespace vexa {

struct RAREditor;

// The RAR format's side of ArchiveEditor: RARCreator for creation, RAREditor (with the rar
// program locateRARExecutable finds at the time of each call) for the edits, save as single
// and repair, and the RAR reader for one entry. New names pass checkNewEntryName; an edit with
// nothing chosen fails with emptySelection before the program runs.
class RARArchiveEditor : public PasswordedArchiveEditor {
  public:
    using PasswordedArchiveEditor::PasswordedArchiveEditor;

    bool savesAsSingle() const override { return true; }
    bool repairs() const override { return true; }
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
    // The password is used as given.
    std::pair<std::filesystem::path, bool> repair(const std::filesystem::path& damaged,
                                                  const std::filesystem::path& destination,
                                                  Progress& progress) const override;
    // Encrypted headers (rarArchiveHidesNames).
    bool hidesNames(const std::filesystem::path& archive) const override;

  private:
    // With the rar program found at the time of the call.
    RAREditor rarEditor() const;
};

} // namespace vexa
