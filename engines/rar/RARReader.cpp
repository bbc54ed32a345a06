#include "engines/rar/RARReader.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARBridge.h"
#include "platform/PlatformError.h"
#include "platform/TextRules.h"

namespace vexa {

void throwRARError(std::int32_t code, const std::optional<std::string>& password) {
    switch (code) {
    case VXRarSuccess:
        return;
    case VXRarMissingPassword:
        throw ArchiveFailure::passwordRequired();
    case VXRarBadPassword:
        throw ArchiveFailure::wrongPassword();
    case VXRarUnsupportedEntry:
        throw ArchiveFailure::symbolicLink("RAR");
    case VXRarNotFirstVolume:
        throw ArchiveFailure::notFirstVolume();
    default:
        break;
    }
    if (code == VXRarBadData && password)
        throw ArchiveFailure::wrongPassword();
    throw ArchiveFailure::rarFailure("Archivo dañado o no compatible (código " +
                                     std::to_string(code) + ").");
}

namespace {
// One RAR archive open in the program at a time, as with the bridge in one process.
std::mutex readerMutex;
} // namespace

RARReader::RARReader(const std::filesystem::path& archive, std::optional<std::string> password,
                     Progress& progress, const RARWalkPlan& plan)
    : lock_(readerMutex, std::defer_lock), context_(std::make_unique<RARStreamContext>(progress)),
      password_(std::move(password)) {
    progress.throwIfCancelled();
    lock_.lock();
    // The first walker's open tells whether the archive can be shared; the others start only
    // then, so that a solid archive or a volume set starts no child that would sit idle.
    sessions_.push_back(std::make_unique<RARChildSession>(archive, password_, plan, 0, progress));
    std::int32_t error = sessions_.front()->awaitOpen();
    if (error == VXRarSuccess && !sessions_.front()->isWalkedAlone()) {
        for (unsigned shard = 1; shard < plan.shards; ++shard)
            sessions_.push_back(
                std::make_unique<RARChildSession>(archive, password_, plan, shard, progress));
        for (std::size_t i = 1; i < sessions_.size() && error == VXRarSuccess; ++i)
            error = sessions_[i]->awaitOpen();
    }
    if (error == VXRarSuccess)
        return;
    progress.throwIfCancelled();
    throwRARError(error, password_);
    throw ArchiveFailure::corrupt("RAR");
}

RARReader::~RARReader() = default;

std::optional<ArchiveItem> RARReader::nextEntry(Progress& progress) {
    // A loop rather than recursion: a forged archive may hold any number of continuation
    // headers in a row.
    for (;;) {
        progress.throwIfCancelled();
        header_ = sessions_.front()->nextHeader();
        for (std::size_t i = 1; i < sessions_.size(); ++i) {
            // Every walker reads the same headers; anything else is not an archive to trust.
            const auto other = sessions_[i]->nextHeader();
            if (other.code != header_.code ||
                (other.code == VXRarSuccess &&
                 (other.flags != header_.flags || other.name != header_.name ||
                  other.unpackedSize != header_.unpackedSize ||
                  other.packedSize != header_.packedSize)))
                throw ArchiveFailure::corrupt("RAR");
        }
        const std::int32_t code = header_.code;
        progress.throwIfCancelled();
        if (code == VXRarEndOfArchive)
            return std::nullopt;
        missingVolumeError(code);
        throwRARError(code, password_);

        const std::uint32_t flags = header_.flags;
        if ((flags & VXRarEntryContinuedBefore) != 0) {
            owner_ = noOwner;
            processEntry();
            continue;
        }
        owner_ = static_cast<std::size_t>(ordinal_++ % sessions_.size());
        ArchiveItem item;
        item.path = header_.name;
        if (item.path.empty() || !text::isValidUTF8(item.path))
            throw ArchiveFailure::corrupt("RAR");
        const std::int64_t unpacked = header_.unpackedSize;
        const std::int64_t packed = header_.packedSize;
        if (unpacked < 0 || packed < 0)
            throw ArchiveFailure::corrupt("RAR");
        item.isDirectory = (flags & VXRarEntryDirectory) != 0;
        if (item.isDirectory) {
            if (item.path.back() != '/')
                item.path += '/';
            item.size = 0;
        } else {
            item.size = unpacked;
        }
        item.compressedSize = (flags & VXRarEntryContinuedAfter) != 0 ? -1 : packed;
        item.isEncrypted = (flags & VXRarEntryEncrypted) != 0;
        return item;
    }
}

void RARReader::processEntry() {
    // The owner tests the entry (or skips it, as the plan says); the other walkers skip it.
    std::int32_t code = 0;
    std::int32_t othersCode = 0;
    for (std::size_t i = 0; i < sessions_.size() && !context_->error; ++i) {
        if (i == owner_) {
            code = sessions_[i]->processEntry(*context_);
        } else {
            RARStreamContext idle(context_->progress);
            const std::int32_t skipped = sessions_[i]->processEntry(idle);
            if (othersCode == VXRarSuccess)
                othersCode = skipped;
        }
    }
    if (code == VXRarSuccess)
        code = othersCode;
    if (context_->error) {
        auto error = context_->error;
        context_->error = nullptr;
        std::rethrow_exception(error);
    }
    context_->progress.throwIfCancelled();
    missingVolumeError(code);
    throwRARError(code, password_);
}

void RARReader::missingVolumeError(std::int32_t code) {
    if (code != VXRarVolumeMissing)
        return;
    std::string missing;
    for (const auto& session : sessions_)
        if (missing.empty())
            missing = session->missingVolume();
    throw ArchiveFailure::missingVolume(std::filesystem::path(missing).filename().string());
}

const std::vector<std::string>& RARReader::volumes() const {
    const std::vector<std::string>* longest = &sessions_.front()->volumes();
    for (const auto& session : sessions_)
        if (session->volumes().size() > longest->size())
            longest = &session->volumes();
    return *longest;
}

} // namespace vexa
