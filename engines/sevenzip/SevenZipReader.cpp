#include "engines/sevenzip/SevenZipReader.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipFolderData.h"
#include "engines/sevenzip/SevenZipLibarchiveReader.h"
#include "engines/sevenzip/SevenZipOpening.h"
#include "platform/TextRules.h"

namespace vexa {

namespace {
const char* const damagedMessage = "el archivo está dañado o no es un 7z válido.";
} // namespace

struct SevenZipReader::State {
    State(Progress& progress, SevenZipOpenArchive open)
        : progress(progress), open(std::move(open)) {}
    Progress& progress;
    SevenZipOpenArchive open;
    std::optional<std::string> password;
    std::unique_ptr<SevenZipLibarchiveReader> fallback;
    std::size_t nextFile = 0;
    std::optional<std::size_t> currentStream;
    std::string currentPath;
    std::optional<std::size_t> folder;
    std::unique_ptr<SevenZipFolderData> data;
    bool passwordResolved = false;
};

SevenZipReader::SevenZipReader(const std::vector<std::filesystem::path>& volumes,
                               Progress& progress, const std::optional<std::string>& password,
                               bool exact)
    : SevenZipReader(openSevenZipArchive(volumes, password, exact, progress), progress) {}

SevenZipReader::SevenZipReader(SevenZipOpenArchive open, Progress& progress)
    : state_(std::make_unique<State>(progress, std::move(open))) {
    if (!state_->open.decodable()) {
        if (state_->open.anyEncrypted())
            throw ArchiveFailure::unsupported7z();
        state_->fallback =
            std::make_unique<SevenZipLibarchiveReader>(state_->open.volumes, progress);
    }
}

SevenZipReader::~SevenZipReader() = default;

std::optional<SevenZipEntry> SevenZipReader::next() {
    auto& state = *state_;
    state.progress.throwIfCancelled();
    const auto& entries = state.open.entries;
    if (state.fallback) {
        // libarchive meets the header's files in their order; each is the header's entry in
        // what it stores, libarchive's own reading of it only vouching that they match.
        while (auto read = state.fallback->next()) {
            const std::size_t file = state.nextFile++;
            if (file >= entries.size())
                throw ArchiveFailure::sevenZipFailure(damagedMessage);
            if (!entries[file])
                continue;
            const SevenZipEntry& stored = *entries[file];
            if (read->type != stored.type || read->item.size != stored.item.size ||
                text::nfc(read->item.path) != text::nfc(stored.item.path))
                throw ArchiveFailure::sevenZipFailure(damagedMessage);
            return stored;
        }
        return std::nullopt;
    }
    while (state.nextFile < entries.size() && !entries[state.nextFile])
        ++state.nextFile;
    if (state.nextFile == entries.size())
        return std::nullopt;
    const std::size_t file = state.nextFile++;
    state.currentStream = state.open.archive->fileStreams()[file];
    state.currentPath = entries[file]->item.path;
    return entries[file];
}

std::size_t SevenZipReader::read(void* buffer, std::size_t size) {
    auto& state = *state_;
    if (state.fallback)
        return state.fallback->read(buffer, size);
    if (!state.currentStream)
        return 0;
    if (!state.passwordResolved) {
        state.password = resolveSevenZipDataPassword(state.open, state.progress);
        state.passwordResolved = true;
    }
    const std::size_t stream = *state.currentStream;
    const std::size_t folder = state.open.archive->streamFolders()[stream];
    if (state.folder != folder) {
        state.data = std::make_unique<SevenZipFolderData>(state.open, folder, state.password);
        state.folder = folder;
    }
    state.data->seekStream(stream, state.currentPath, state.progress);
    return state.data->read(static_cast<std::uint8_t*>(buffer), size);
}

} // namespace vexa
