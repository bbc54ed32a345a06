#include "TarArchiveEngine.h"
#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "core/archive/SourceEntries.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"

#include <algorithm>
#include <set>
#include <utility>

namespace vexa {

namespace {

using std::filesystem::path;

const char* const insideSourceMessage =
    "el RAR no puede guardarse dentro de una carpeta que se va a comprimir.";

struct PlannedItem {
    path source;
    std::string name;
};

class AddPlanner {
  public:
    // Every listed entry's key and the keys of the folders above it, so that a name lookup
    // costs the same for any size of archive.
    AddPlanner(const std::string& folder, const std::vector<ArchiveItem>& entries)
        : folder_(folder), entries_(entries) {
        for (const ArchiveItem& item : entries) {
            std::string key = nameKey(item.path);
            for (;;) {
                if (!listedKeys_.insert(key).second)
                    break;
                std::size_t slash = key.rfind('/');
                if (slash == std::string::npos)
                    break;
                key.resize(slash);
            }
        }
    }

    // The listing holds the name, or a folder of that name with entries below it.
    bool isListed(const std::string& name) const {
        return listedKeys_.contains(nameKey(folder_ + name));
    }

    bool isPlanned(const std::string& name) const {
        std::string key = nameKey(folder_ + name);
        return std::any_of(planned_.begin(), planned_.end(), [&](const PlannedItem& item) {
            return nameKey(folder_ + item.name) == key;
        });
    }

    // The listed paths that hold the name as it is spelled in the archive: an entry of that
    // key, or the folder part of the entries below it when the folder has no entry of its own.
    // Each goes with everything below it.
    std::vector<std::string> listedPaths(const std::string& name) const {
        const std::string key = nameKey(folder_ + name);
        const std::size_t depth = std::count(key.begin(), key.end(), '/') + 1;
        std::vector<std::string> found;
        for (const ArchiveItem& item : entries_) {
            std::string other = nameKey(item.path);
            if (other != key && !other.starts_with(key + "/"))
                continue;
            std::string spelled = item.path;
            std::size_t end = 0;
            for (std::size_t level = 0; level < depth && end != std::string::npos; ++level)
                end = spelled.find('/', level == 0 ? 0 : end + 1);
            if (end != std::string::npos)
                spelled.resize(end + 1);
            if (std::find(found.begin(), found.end(), spelled) == found.end())
                found.push_back(spelled);
        }
        return found;
    }

    // "Informe 2.pdf", "Informe 3.pdf"...; a folder has no extension.
    std::string freeName(const path& source, const std::string& name) const {
        bool isFolder = files::attributesOfItem(source).type == files::FileType::directory;
        std::string extension = isFolder ? "" : paths::nameExtension(name);
        std::string base = extension.empty() ? name : paths::nameDeletingExtension(name);
        for (int number = 2;; ++number) {
            std::string candidate =
                base + " " + std::to_string(number) + (extension.empty() ? "" : "." + extension);
            if (!isListed(candidate) && !isPlanned(candidate))
                return candidate;
        }
    }

    void plan(path source, std::string name) { planned_.push_back({std::move(source), name}); }
    const std::vector<PlannedItem>& planned() const { return planned_; }

  private:
    std::string folder_;
    const std::vector<ArchiveItem>& entries_;
    std::vector<PlannedItem> planned_;
    std::set<std::string> listedKeys_;
};

void checkFolder(const std::string& folder, const std::vector<ArchiveItem>& entries) {
    if (folder.empty())
        return;
    std::string base = folder.substr(0, folder.size() - 1);
    bool exists = folder.ends_with('/') &&
                  std::any_of(entries.begin(), entries.end(), [&](const ArchiveItem& item) {
                      return item.path == folder || item.path.starts_with(folder);
                  });
    if (!exists || base.empty())
        throw ArchiveFailure::unsafePath(folder);
}

} // namespace

TarAddPlan TarArchiveEngine::collectSources(const std::vector<path>& sources,
                                            const std::string& folder, ArchiveConflictPolicy policy,
                                            const ArchiveSummary& listing, Progress& progress) {
    progress.throwIfCancelled();
    if (sources.empty())
        throw ArchiveFailure::emptySelection();
    checkFolder(folder, listing.entries);
    const std::string archivePath = paths::resolvingSymlinks(listing.url).string();

    TarAddPlan result;
    AddPlanner planner(folder, listing.entries);
    for (const path& source : sources) {
        if (paths::resolvingSymlinks(source).string() == archivePath)
            throw ArchiveFailure::sourceIsArchive();
        std::string name = paths::lastPathComponent(source);
        if (!planner.isListed(name)) {
            planner.plan(source, name);
            continue;
        }
        switch (policy) {
        case ArchiveConflictPolicy::ask:
            throw ArchiveFailure::conflict(name);
        case ArchiveConflictPolicy::skip:
            break;
        case ArchiveConflictPolicy::replace:
            for (std::string& listed : planner.listedPaths(name))
                result.replaced.push_back(std::move(listed));
            planner.plan(source, name);
            break;
        case ArchiveConflictPolicy::keepBoth:
            planner.plan(source, planner.freeName(source, name));
            break;
        }
    }

    std::set<std::string> duplicateKeys;
    std::int64_t units = 0;
    for (const PlannedItem& item : planner.planned()) {
        if (liesWithinSource(listing.url, item.source))
            throw ArchiveFailure::tarFailure(insideSourceMessage);
        collectSourceEntries(item.source, folder + item.name, progress, duplicateKeys,
                             result.sources, units, {ArchiveFormat::tar});
    }
    return result;
}

} // namespace vexa
