#include "core/archive/ArchiveFailure.h"
#include "core/archive/PasswordVariants.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPReader.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/Crc32.h"
#include "platform/PlatformError.h"
#include "platform/Secrets.h"

#include <algorithm>
#include <vector>

namespace vexa {

namespace {

struct TestRecord {
    std::uint16_t flag = 0;
    std::uint32_t crc = 0;
    std::uint16_t aesVersion = 0;
};

// Moves the reader from its first entry forward to `path` and returns what the checks need.
TestRecord moveToEntry(ZIPReader& reader, const std::string& path) {
    int status = reader.handle->gotoFirstEntry();
    reader.moveForwardTo(status, path);
    const ZipFileInfo& info = reader.currentInfo();
    return {info.flag, info.crc, info.aes_version};
}

// Whether `candidate` decrypts the entry to data matching its checks; a refusal is an answer,
// not a failure.
bool opensEntry(ZIPReader& reader, const TestRecord& record, const std::string& candidate,
                int bufferSize) {
    if (reader.zip->entryReadOpen(0, candidate.c_str()) != zipstatus::ok)
        return false;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(bufferSize), 0);
    std::uint32_t crc = 0;
    while (true) {
        const std::int32_t count = reader.zip->entryRead(buffer.data(), bufferSize);
        if (count < 0)
            return false;
        if (count == 0)
            break;
        crc = platform::crc32(crc, buffer.data(), static_cast<std::size_t>(count));
    }
    if (reader.zip->entryReadClose(nullptr, nullptr, nullptr) != zipstatus::ok)
        return false;
    return record.aesVersion == 2 || crc == record.crc;
}

} // namespace

ZIPArchiveEngine ZIPArchiveEngine::resolvePassword(const std::filesystem::path& archive,
                                                   const ArchiveSummary& listing,
                                                   Progress& progress) const {
    if (!password)
        return *this;
    std::vector<std::string> candidates = zipPasswordCandidates(*password);
    const secrets::WipedOnExit wipeCandidates(candidates);
    if (candidates.empty())
        return *this;

    std::string chosen = candidates.front();
    const secrets::WipedOnExit wipeChosen(chosen);
    if (candidates.size() > 1) {
        const ArchiveItem* test = nullptr;
        for (const ArchiveItem& entry : listing.entries)
            if (entry.isEncrypted && !entry.isDirectory &&
                (test == nullptr || entry.size < test->size))
                test = &entry;
        if (test != nullptr) {
            for (const std::string& candidate : candidates) {
                progress.throwIfCancelled();
                ZIPReader reader(archive);
                const TestRecord record = moveToEntry(reader, test->path);
                if (opensEntry(reader, record, candidate, bufferSize)) {
                    chosen = candidate;
                    break;
                }
            }
        }
    }

    ZIPArchiveEngine copy(password);
    copy.splitSize = splitSize;
    copy.resolved = chosen;
    copy.bufferSize = 262144;
    return copy;
}

std::optional<std::string> ZIPArchiveEngine::workingPassword() const {
    if (resolved || !password)
        return resolved;
    std::vector<std::string> candidates = zipPasswordCandidates(*password);
    const secrets::WipedOnExit wipeCandidates(candidates);
    return candidates.front();
}

void ZIPArchiveEngine::verifyPassword(const std::filesystem::path& archive,
                                      const ArchiveSummary& listing, Progress& progress) const {
    const auto test =
        std::find_if(listing.entries.begin(), listing.entries.end(), [](const ArchiveItem& entry) {
            return entry.isEncrypted && !entry.isDirectory;
        });
    if (test == listing.entries.end())
        return;
    if (!password)
        throw ArchiveFailure::passwordRequired();

    ZIPReader reader(archive);
    const TestRecord record = moveToEntry(reader, test->path);
    std::optional<std::string> passwordBytes = workingPassword();
    const secrets::WipedOnExit wipePassword(passwordBytes);
    check(reader.zip->entryReadOpen(0, passwordBytes->c_str()));

    std::vector<unsigned char> buffer(static_cast<std::size_t>(bufferSize), 0);
    std::uint32_t crc = 0;
    while (true) {
        progress.throwIfCancelled();
        const std::int32_t count = reader.zip->entryRead(buffer.data(), bufferSize);
        checkDataRead(count, (record.flag & 1) != 0);
        if (count == 0)
            break;
        crc = platform::crc32(crc, buffer.data(), static_cast<std::size_t>(count));
    }
    check(reader.zip->entryReadClose(nullptr, nullptr, nullptr));
    if (record.aesVersion != 2 && crc != record.crc) {
        if ((record.flag & 1) != 0)
            throw ArchiveFailure::wrongPassword();
        throw ArchiveFailure::corrupt(test->path);
    }
}

} // namespace vexa
