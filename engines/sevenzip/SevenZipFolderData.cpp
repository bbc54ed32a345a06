#include "engines/sevenzip/SevenZipFolderData.h"

#include "core/archive/ArchiveFailure.h"
#include "platform/Crc32.h"

#include <vector>

namespace vexa {

SevenZipFolderData::SevenZipFolderData(const SevenZipOpenArchive& open, std::size_t folder,
                                       const std::optional<std::string>& password)
    : open_(open), encrypted_(open.archive->folderEncrypted(folder)),
      reader_(open.archive->openFolder(folder, password)) {}

void SevenZipFolderData::fail() const {
    if (encrypted_)
        throw ArchiveFailure::wrongPassword();
    throw ArchiveFailure::corrupt(path_);
}

void SevenZipFolderData::seekStream(std::size_t stream, const std::string& path,
                                    const Progress& progress) {
    const auto& sizes = open_.archive->header().streams.substreamSizes;
    std::vector<std::uint8_t> scratch;
    // Finish the current file and step over the ones in between.
    while (!started_ || stream_ < stream) {
        if (started_) {
            if (remaining_ > 0) {
                scratch.resize(64 * 1024);
                while (read(scratch.data(), scratch.size()) > 0)
                    progress.throwIfCancelled();
            }
            ++stream_;
        } else {
            // The first stream of the folder: count the streams of the folders before it.
            const auto& folders = open_.archive->streamFolders();
            const std::size_t folder = folders[stream];
            std::size_t first = stream;
            while (first > 0 && folders[first - 1] == folder)
                --first;
            stream_ = first;
            started_ = true;
        }
        remaining_ = sizes[stream_];
        crc_ = static_cast<std::uint32_t>(0);
        checked_ = false;
        path_ = path;
    }
}

std::size_t SevenZipFolderData::read(std::uint8_t* out, std::size_t size) {
    if (remaining_ == 0) {
        if (!checked_) {
            const auto& expected = open_.archive->header().streams.substreamCrcs[stream_];
            if (expected && *expected != crc_)
                fail();
            checked_ = true;
        }
        return 0;
    }
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
    std::size_t count = 0;
    try {
        count = reader_->read(out, want);
    } catch (const sevenzip::SevenZipDataError&) {
        fail();
    }
    if (count == 0)
        fail();
    crc_ = platform::crc32(crc_, out, static_cast<std::size_t>(count));
    remaining_ -= count;
    return count;
}

bool sevenZipPasswordOpensData(const SevenZipOpenArchive& open,
                               const std::optional<std::string>& password, Progress& progress) {
    const auto& archive = *open.archive;
    std::optional<std::size_t> smallest;
    for (std::size_t f = 0; f < archive.folderCount(); ++f)
        if (archive.folderEncrypted(f) &&
            (!smallest || archive.header().streams.folders[f].unpackSize() <
                              archive.header().streams.folders[*smallest].unpackSize()))
            smallest = f;
    if (!smallest)
        return true;
    try {
        SevenZipFolderData data(open, *smallest, password);
        std::vector<std::uint8_t> buffer(256 * 1024);
        const auto& folders = archive.streamFolders();
        for (std::size_t stream = 0; stream < folders.size(); ++stream) {
            if (folders[stream] != *smallest)
                continue;
            data.seekStream(stream, {}, progress);
            while (data.read(buffer.data(), buffer.size()) > 0)
                progress.throwIfCancelled();
        }
        return true;
    } catch (const ArchiveFailure& failure) {
        if (failure.kind() == ArchiveFailure::Case::wrongPassword)
            return false;
        throw;
    }
}

std::optional<std::string> resolveSevenZipDataPassword(const SevenZipOpenArchive& open,
                                                       Progress& progress) {
    const auto& forms = open.passwords;
    bool encrypted = false;
    for (std::size_t f = 0; f < open.archive->folderCount(); ++f)
        encrypted = encrypted || open.archive->folderEncrypted(f);
    if (!encrypted)
        return forms.empty() ? std::nullopt : forms.front();
    if (forms.empty() || !forms.front())
        throw ArchiveFailure::passwordRequired();
    // One form needs no trial: a wrong one shows while the data is read.
    if (forms.size() == 1)
        return forms.front();
    for (const auto& form : forms)
        if (sevenZipPasswordOpensData(open, form, progress))
            return form;
    throw ArchiveFailure::wrongPassword();
}

} // namespace vexa
