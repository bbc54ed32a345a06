#include "engines/zip/ZIPListingCache.h"

#include <mutex>
#include <sys/stat.h>

namespace vexa::ziplistingcache {

namespace {

struct Slot {
    std::mutex mutex;
    std::shared_ptr<const ArchiveSummary> summary;
    std::string identities;
};

Slot& slot() {
    static Slot instance;
    return instance;
}

// The archive's identity followed by every other part's; empty when one cannot be looked at.
std::string identities(const ArchiveSummary& summary, std::string archiveIdentity) {
    if (archiveIdentity.empty())
        return {};
    for (const auto& volume : summary.volumes) {
        if (volume == summary.url)
            continue;
        const std::string part = identity(volume);
        if (part.empty())
            return {};
        archiveIdentity += part;
    }
    return archiveIdentity;
}

} // namespace

std::string identity(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0)
        return {};
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec) + ":" + std::to_string(info.st_ctim.tv_sec) + "." +
           std::to_string(info.st_ctim.tv_nsec) + ";";
}

void remember(std::shared_ptr<const ArchiveSummary> kept, const std::string& archiveIdentity) {
    std::string print = identities(*kept, archiveIdentity);
    std::lock_guard lock(slot().mutex);
    slot().summary = print.empty() ? nullptr : std::move(kept);
    slot().identities = std::move(print);
}

std::shared_ptr<const ArchiveSummary> find(const std::filesystem::path& archive) {
    std::shared_ptr<const ArchiveSummary> summary;
    std::string print;
    {
        std::lock_guard lock(slot().mutex);
        summary = slot().summary;
        print = slot().identities;
    }
    if (!summary || summary->url != archive || identities(*summary, identity(archive)) != print)
        return nullptr;
    return summary;
}

void forget() {
    std::lock_guard lock(slot().mutex);
    slot().summary.reset();
    slot().identities.clear();
}

} // namespace vexa::ziplistingcache
