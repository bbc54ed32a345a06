#include "core/archive/ArchiveFailure.h"
#include "core/archive/JavaArchive.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPListingCache.h"
#include "engines/zip/ZIPReader.h"
#include "engines/zip/ZIPRewriteSteps.h"
#include "engines/zip/ZIPWriter.h"
#include "platform/FileOperations.h"
#include "platform/GuardedReplacement.h"
#include "platform/Paths.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <memory>
#include <vector>

namespace vexa {

namespace {

// The shortest text that reads back as the same double, always with a decimal point.
std::string secondsText(double seconds) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos)
        text += ".0";
    return text;
}

} // namespace

std::string ZIPArchiveEngine::snapshot(const std::filesystem::path& location) {
    const files::FileAttributes attributes = files::attributesOfItem(location);
    const double seconds =
        std::chrono::duration<double>(attributes.modificationDate.time_since_epoch()).count();
    return std::to_string(attributes.fileNumber) + "|" + std::to_string(attributes.size) + "|" +
           secondsText(seconds);
}

std::filesystem::path ZIPArchiveEngine::rewrite(
    const std::filesystem::path& archive, const std::vector<ArchiveItem>& kept,
    const std::vector<ZIPSourceEntry>& added, const std::map<std::string, std::string>& renames,
    Progress& progress, const std::string& fingerprint,
    const std::optional<std::filesystem::path>& output) const {
    Progress listingProgress;
    const auto shared = sharedListing(archive, listingProgress);
    const ArchiveSummary& listing = *shared;
    if (listing.volumes.size() > 1 && (!output || *output == archive))
        throw ArchiveFailure::splitEditing();
    const std::filesystem::path target = output ? *output : archive;

    std::vector<std::string> volumeFingerprints;
    for (const std::filesystem::path& volume : listing.volumes)
        volumeFingerprints.push_back(snapshot(volume));

    files::GuardedReplacement replacement(
        target, progress,
        [&] {
            const std::string now = snapshot(archive);
            if (now != fingerprint)
                throw ArchiveFailure::archiveChanged();
            for (std::size_t i = 0; i < listing.volumes.size(); ++i)
                if ((listing.volumes[i] == archive ? now : snapshot(listing.volumes[i])) !=
                    volumeFingerprints[i])
                    throw ArchiveFailure::archiveChanged();
        },
        {archive});
    const std::filesystem::path& temporary = replacement.folder();
    // The read-back applies the rules of the kind the target's name announces.
    const std::string extension =
        javaArchive(target) ? text::lowercased(paths::pathExtension(target)) : std::string("zip");
    const std::filesystem::path temporaryArchive = temporary / ("archive." + extension);

    std::vector<ziprewrite::PlannedEntry> planned;
    planned.reserve(kept.size() + added.size());
    // The kept bytes of a one-file archive are copied on a thread of their own while the
    // records, the added entries and the central directory are written and read back.
    std::optional<ZIPBackgroundCopy> copy;
    {
        ZIPReader reader(archive);
        ZIPWriter writer(temporaryArchive, 0);
        if (listing.volumes.size() == 1)
            copy.emplace(archive, temporaryArchive, progress);
        progress.setTotalUnitCount(static_cast<std::int64_t>(kept.size() + added.size()));
        // The archive comment and a self-extracting stub stay; the stub's length shifts every
        // offset of the new archive, as in an archive made with it.
        std::string comment;
        check(reader.zip->getComment(&comment));
        check(writer.zip->setComment(comment));
        check(writer.zip->reserveEntries(kept.size() + added.size()));
        ziprewrite::copyKeptEntries(archive, copy ? &*copy : nullptr, reader, writer, kept, renames,
                                    progress, planned, bufferSize);
        for (const ZIPSourceEntry& entry : added) {
            ziprewrite::PlannedEntry plan;
            plan.added = true;
            plan.checkData = true;
            check(writer.zip->getWriteOffset(&plan.offset));
            addFile(entry.path, entry.url, writer, true, progress);
            planned.push_back(plan);
        }
        writer.close();
    }

    // The read-back reads the records and the entries this thread wrote; kept entries under a
    // new header are read through too, and an AAR's first bytes may be kept ones, so those wait
    // for the copy.
    const bool readsKeptBytes =
        std::any_of(planned.begin(), planned.end(),
                    [](const ziprewrite::PlannedEntry& p) { return p.checkData && !p.added; });
    if (copy && (readsKeptBytes || javaArchive(target) == JavaArchive::aar))
        copy->finish();
    // The new archive holds exactly the planned entries, so an edit never drops one silently.
    ArchiveSummary written = ziprewrite::readBack(*this, temporaryArchive, target, kept, renames,
                                                  added, planned, progress);
    if (copy)
        copy->finish();
    replacement.place(temporaryArchive);
    // What was just checked is the listing the caller asks for next.
    ziplistingcache::remember(std::make_shared<const ArchiveSummary>(std::move(written)),
                              ziplistingcache::identity(target));
    return target;
}

} // namespace vexa
