#include "engines/rar/RARArchiveEngine.h"

#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "core/archive/PasswordVariants.h"
#include "engines/rar/RARListingCache.h"
#include "engines/rar/RARPasswordTrial.h"
#include "engines/rar/RARReader.h"

namespace vexa {

namespace {

ArchiveSummary listWithPassword(const std::filesystem::path& archive, Progress& progress,
                                const std::optional<std::string>& password) {
    RARReader reader(archive, password, progress);
    std::vector<ArchiveItem> entries;
    std::int64_t total = 0;
    while (auto entry = reader.nextEntry(progress)) {
        // Extraction totals these sizes later; a sum that cannot be held is a forged header.
        if (__builtin_add_overflow(total, std::max<std::int64_t>(entry->size, 1), &total))
            throw ArchiveFailure::corrupt(entry->path);
        entries.push_back(std::move(*entry));
        reader.processEntry();
    }
    validateEntries(entries);

    // Every name is kept, UTF-8 or not: paths here are bytes, so each one names a part that
    // exists, and leaving one out could make a split set pass for a single archive.
    std::vector<std::filesystem::path> volumes;
    for (const auto& volume : reader.volumes())
        volumes.emplace_back(volume);
    if (!volumes.empty())
        volumes.insert(volumes.begin(), archive);

    ArchiveSummary summary;
    summary.url = archive;
    summary.entries = std::move(entries);
    summary.format = ArchiveFormat::rar;
    summary.volumes = std::move(volumes);
    summary.hasRecoveryRecord = reader.hasRecoveryRecord();
    summary.isLocked = reader.isLocked();
    return summary;
}

} // namespace

ArchiveSummary RARArchiveEngine::list(const std::filesystem::path& archive, Progress& progress) {
    return withPasswordVariants(password, exact, [&](const std::optional<std::string>& candidate) {
        ArchiveSummary summary = listWithPassword(archive, progress, candidate);
        rarlistingcache::remember(summary);
        return summary;
    });
}

std::optional<std::string>
RARArchiveEngine::verifyPassword(const std::filesystem::path& archive, Progress& progress,
                                 const std::optional<std::string>& password, bool exact) {
    std::vector<std::string> candidates;
    if (password)
        candidates = exact ? std::vector<std::string>{*password} : passwordVariants(*password);
    if (candidates.empty()) {
        auto summary = RARArchiveEngine().list(archive, progress);
        for (const auto& entry : summary.entries)
            if (entry.isEncrypted)
                throw ArchiveFailure::passwordRequired();
        return std::nullopt;
    }
    for (const auto& candidate : candidates) {
        try {
            bool sawEncrypted = false;
            {
                RARReader reader(archive, candidate, progress,
                                 RARWalkPlan(rarchild::Test::encryptedFiles));
                while (auto entry = reader.nextEntry(progress)) {
                    sawEncrypted = sawEncrypted || entry->isEncrypted;
                    // One encrypted file is enough: its data only decrypts with the right
                    // password.
                    const bool test = !entry->isDirectory && entry->isEncrypted;
                    reader.processEntry();
                    if (test)
                        return candidate;
                }
            }
            // Folders of an archive with encrypted headers carry no encryption flag, yet the
            // archive still needs the password that opened it. Asked once the reader is gone.
            if (sawEncrypted || rarArchiveHidesNames(archive))
                return candidate;
            return std::nullopt;
        } catch (const ArchiveFailure& failure) {
            if (failure.kind() != ArchiveFailure::Case::wrongPassword)
                throw;
        }
    }
    throw ArchiveFailure::wrongPassword();
}

std::vector<std::string>
RARArchiveEngine::damagedEntries(const std::filesystem::path& archive, Progress& progress,
                                 const std::optional<std::string>& password) {
    RARWalkPlan plan(rarchild::Test::files);
    plan.shards = rarWalkerCount();
    RARReader reader(archive, password, progress, plan);
    std::vector<std::string> damaged;
    while (auto entry = reader.nextEntry(progress)) {
        try {
            reader.processEntry();
        } catch (const ArchiveFailure& failure) {
            if (failure.kind() != ArchiveFailure::Case::corrupt &&
                failure.kind() != ArchiveFailure::Case::rarFailure)
                throw;
            damaged.push_back(entry->path);
        }
    }
    return damaged;
}

RARArchiveEngine::EntryChecksums
RARArchiveEngine::entryChecksums(const std::filesystem::path& archive, Progress& progress,
                                 const std::optional<std::string>& password, bool exact) {
    return withPasswordVariants(password, exact, [&](const std::optional<std::string>& candidate) {
        RARWalkPlan plan(rarchild::Test::all, rarchild::Data::checksum);
        plan.shards = rarWalkerCount();
        RARReader reader(archive, candidate, progress, plan);
        reader.context().tally = true;
        EntryChecksums checksums;
        while (auto entry = reader.nextEntry(progress)) {
            if (checksums.contains(entry->path))
                throw ArchiveFailure::duplicate(entry->path);
            reader.context().crc = 0;
            reader.processEntry();
            if (entry->size == 0)
                progress.addCompletedUnits(1);
            std::optional<std::uint32_t> crc;
            if (!entry->isDirectory)
                crc = reader.context().crc;
            std::string path = entry->path;
            checksums.emplace(std::move(path), std::make_pair(std::move(*entry), crc));
        }
        return checksums;
    });
}

bool rarArchiveHidesNames(const std::filesystem::path& archive) {
    try {
        Progress openProgress;
        RARReader reader(archive, std::nullopt, openProgress);
        Progress readProgress;
        reader.nextEntry(readProgress);
    } catch (const ArchiveFailure& failure) {
        return failure.kind() == ArchiveFailure::Case::passwordRequired;
    } catch (...) {
        return false;
    }
    return false;
}

} // namespace vexa
