#include "engines/sevenzip/SevenZipPlacement.h"

#include "core/archive/ArchiveFailure.h"
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

void placeSevenZipFile(const std::filesystem::path& file,
                       const std::filesystem::path& destination) {
    files::placeItem(file, destination);
}

} // namespace vexa
