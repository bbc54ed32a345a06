#include "engines/sevenzip/SevenZipPlacement.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipOpening.h"
#include "platform/FileOperations.h"

namespace vexa {

void checkSevenZipReadBack(const ReadBackEntries& actual, const ReadBackEntries& kept,
                           const SourceEntryMap& added, Progress& progress, const char* message) {
    if (actual.size() != kept.size() + added.size())
        throw ArchiveFailure::sevenZipFailure(message);
    for (const auto& [path, expected] : kept) {
        const auto found = actual.find(path);
        if (found == actual.end() || added.contains(path) ||
            found->second.first.isDirectory != expected.first.isDirectory ||
            found->second.first.size != expected.first.size ||
            found->second.second != expected.second)
            throw ArchiveFailure::sevenZipFailure(message);
    }
    for (const auto& [path, source] : added) {
        const auto found = actual.find(path);
        if (found == actual.end() || found->second.first.isDirectory != source.isDirectory)
            throw ArchiveFailure::sevenZipFailure(message);
    }
    verifyRARAgainstSources(actual, added, progress, ArchiveFailure::Case::sevenZipFailure);
}

int sevenZipRewriteLevel(const std::vector<std::filesystem::path>& volumes,
                         const std::vector<ArchiveItem>& entries) {
    std::int64_t archiveBytes = 0;
    for (const auto& volume : volumes)
        archiveBytes += files::attributesOfItem(volume).size;
    std::int64_t contentBytes = 0;
    for (const auto& item : entries)
        contentBytes += item.size;
    // Compressing what did not shrink before changes the archive's character and costs minutes
    // per hundred megabytes for nothing.
    return contentBytes > 0 && archiveBytes >= contentBytes ? 0 : kSevenZipRewriteLevel;
}

SevenZipProtection sevenZipProtectionOf(const std::vector<std::filesystem::path>& volumes,
                                        const std::optional<std::string>& password,
                                        Progress& progress) {
    const auto open = openSevenZipArchive(volumes, password, false, progress);
    if (open.archive->headerEncrypted())
        return {open.passwords.front(), true};
    if (open.anyEncrypted())
        return {password, false};
    return {};
}

} // namespace vexa
