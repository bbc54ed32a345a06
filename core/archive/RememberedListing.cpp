#include "core/archive/RememberedListing.h"

#include <sys/stat.h>

namespace vexa {

namespace {

// The archive's identity followed by every other part's; empty when one cannot be looked at,
// which never matches.
std::string identities(const ArchiveSummary& summary, std::string archiveIdentity) {
    if (archiveIdentity.empty())
        return {};
    for (const auto& volume : summary.volumes) {
        if (volume == summary.url)
            continue;
        const std::string part = RememberedListing::identity(volume);
        if (part.empty())
            return {};
        archiveIdentity += part;
    }
    return archiveIdentity;
}

} // namespace

std::string RememberedListing::identity(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0)
        return {};
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec) + ":" + std::to_string(info.st_ctim.tv_sec) + "." +
           std::to_string(info.st_ctim.tv_nsec) + ";";
}

void RememberedListing::remember(std::shared_ptr<const ArchiveSummary> summary,
                                 std::optional<std::string> archiveIdentity) {
    std::string print = identities(*summary, archiveIdentity ? std::move(*archiveIdentity)
                                                             : identity(summary->url));
    std::lock_guard lock(mutex_);
    summary_ = print.empty() ? nullptr : std::move(summary);
    identities_ = std::move(print);
}

std::shared_ptr<const ArchiveSummary>
RememberedListing::find(const std::filesystem::path& archive) {
    std::shared_ptr<const ArchiveSummary> summary;
    std::string print;
    {
        std::lock_guard lock(mutex_);
        summary = summary_;
        print = identities_;
    }
    if (!summary || summary->url != archive || identities(*summary, identity(archive)) != print)
        return nullptr;
    return summary;
}

void RememberedListing::forget() {
    std::lock_guard lock(mutex_);
    summary_.reset();
    identities_.clear();
}

} // namespace vexa
