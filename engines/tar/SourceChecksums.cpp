#include "SourceChecksums.h"

#include "core/archive/ArchiveFailure.h"

#include <algorithm>

namespace vexa::tar {

SourceChecksums::SourceChecksums(const SourceEntryMap& sources, Progress& progress)
    : progress_(progress) {
    for (const auto& entry : sources) {
        if (!entry.second.isDirectory) {
            files_.push_back(&entry);
            results_[entry.first];
        }
    }
    std::size_t count = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
    count = std::min(count, files_.size());
    for (std::size_t i = 0; i < count; ++i)
        threads_.emplace_back([this] { work(); });
}

SourceChecksums::~SourceChecksums() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    for (std::thread& thread : threads_)
        thread.join();
}

void SourceChecksums::work() {
    for (;;) {
        const SourceEntryMap::value_type* file = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (stopping_ || next_ == files_.size())
                return;
            file = files_[next_++];
        }
        Result result;
        try {
            result.crc = crc32OfFile(file->second.url, progress_);
        } catch (...) {
            result.failure = std::current_exception();
        }
        result.done = true;
        {
            std::lock_guard lock(mutex_);
            results_[file->first] = result;
        }
        finished_.notify_all();
    }
}

std::uint32_t SourceChecksums::crcOf(const std::string& path) {
    std::unique_lock lock(mutex_);
    Result& result = results_.at(path);
    finished_.wait(lock, [&] { return result.done; });
    if (result.failure)
        std::rethrow_exception(result.failure);
    return result.crc;
}

void verifyAgainstSources(const ReadBackEntries& archived, const SourceEntryMap& sources,
                          SourceChecksums& checksums, Progress& progress) {
    for (const auto& [path, source] : sources) {
        progress.throwIfCancelled();
        const auto found = archived.find(path);
        if (found == archived.end() || found->second.first.isDirectory != source.isDirectory)
            throw ArchiveFailure::tarFailure(
                contentMismatchMessage(ArchiveFailure::Case::tarFailure));
        if (source.isDirectory) {
            progress.addCompletedUnits(1);
            continue;
        }
        const auto& [item, crc] = found->second;
        if (item.size != source.size || !crc || checksums.crcOf(path) != *crc)
            throw ArchiveFailure::tarFailure("«" + path +
                                             "» no coincide con el original. Puede haber "
                                             "cambiado durante la compresión.");
        if (source.size == 0)
            progress.addCompletedUnits(1);
    }
}

} // namespace vexa::tar
