#include "engines/rar/RARReader.h"

#include "core/archive/ArchiveFailure.h"
#include "platform/PlatformError.h"
#include "platform/TextRules.h"

namespace vexa {

namespace {
constexpr std::int32_t endOfArchive = 10;
constexpr std::int32_t badData = 12;
constexpr std::int32_t missingPassword = 22;
constexpr std::int32_t badPassword = 24;
} // namespace

void throwRARError(std::int32_t code, const std::optional<std::string>& password) {
    switch (code) {
    case 0:
        return;
    case missingPassword:
        throw ArchiveFailure::passwordRequired();
    case badPassword:
        throw ArchiveFailure::wrongPassword();
    case VXRarUnsupportedEntry:
        throw ArchiveFailure::symbolicLink("RAR");
    case VXRarNotFirstVolume:
        throw ArchiveFailure::notFirstVolume();
    default:
        break;
    }
    if (code == badData && password)
        throw ArchiveFailure::wrongPassword();
    throw ArchiveFailure::rarFailure("Archivo dañado o no compatible (código " +
                                     std::to_string(code) + ").");
}

RARReader::RARReader(const std::filesystem::path& archive, std::optional<std::string> password,
                     Progress& progress)
    : context_(std::make_unique<RARStreamContext>(progress)), password_(std::move(password)) {
    progress.throwIfCancelled();
    std::int32_t error = 0;
    handle_ = VXRarOpen(archive.c_str(), password_ ? password_->c_str() : nullptr,
                        rarStreamCallback, context_.get(), &error);
    if (handle_ != nullptr)
        return;
    progress.throwIfCancelled();
    throwRARError(error, password_);
    throw ArchiveFailure::corrupt("RAR");
}

RARReader::~RARReader() {
    VXRarClose(handle_);
}

std::optional<ArchiveItem> RARReader::nextEntry(Progress& progress) {
    // A loop rather than recursion: a forged archive may hold any number of continuation
    // headers in a row.
    for (;;) {
        progress.throwIfCancelled();
        std::int32_t code = VXRarNextHeader(handle_);
        progress.throwIfCancelled();
        if (code == endOfArchive)
            return std::nullopt;
        missingVolumeError(code);
        throwRARError(code, password_);

        std::uint32_t flags = VXRarEntryFlags(handle_);
        if ((flags & VXRarEntryContinuedBefore) != 0) {
            processEntry(false);
            continue;
        }
        ArchiveItem item;
        item.path = VXRarEntryName(handle_);
        if (item.path.empty() || !text::isValidUTF8(item.path))
            throw ArchiveFailure::corrupt("RAR");
        std::int64_t unpacked = VXRarEntryUnpackedSize(handle_);
        std::int64_t packed = VXRarEntryPackedSize(handle_);
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

void RARReader::processEntry(bool test) {
    std::int32_t code = VXRarProcessEntry(handle_, test ? 1 : 0);
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
    throw ArchiveFailure::missingVolume(
        std::filesystem::path(VXRarMissingVolume(handle_)).filename().string());
}

} // namespace vexa
