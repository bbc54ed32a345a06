#include "engines/sevenzip/SevenZipLibarchiveReader.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipLocale.h"
#include "engines/sevenzip/SevenZipVolumeStream.h"
#include "engines/sevenzip/SevenZipVolumes.h"
#include "engines/sevenzip/container/SevenZipFormat.h"
#include "engines/sevenzip/container/SevenZipHeaderParser.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <string>

namespace vexa {

namespace {

constexpr std::size_t blockSize = 128 * 1024;

bool mentions(const std::string& text, const char* word) {
    return text.find(word) != std::string::npos;
}

} // namespace

struct SevenZipLibarchiveReader::State {
    State(const std::vector<std::filesystem::path>& volumes, Progress& progress)
        : progress(progress), stream(volumes) {}
    ~State() {
        if (handle)
            ::archive_read_free(handle);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    Progress& progress;
    SevenZipUTF8Locale locale;
    SevenZipVolumeStream stream;
    std::array<unsigned char, blockSize> buffer{};
    std::exception_ptr streamFailure;
    archive* handle = nullptr;
    // The library's encryption query crashes before a format has recognised the file.
    bool opened = false;
    std::string currentPath;

    [[noreturn]] void fail(bool readingData) {
        progress.throwIfCancelled();
        if (streamFailure)
            std::rethrow_exception(streamFailure);
        const char* text = ::archive_error_string(handle);
        std::string message = text ? text : "";
        for (char& c : message)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if ((opened && ::archive_read_has_encrypted_entries(handle) > 0) ||
            mentions(message, "encrypt") || mentions(message, "unknown codec") ||
            mentions(message, "unsupported") || mentions(message, "not supported"))
            throw ArchiveFailure::unsupported7z();
        if (readingData)
            throw ArchiveFailure::corrupt(currentPath);
        throw ArchiveFailure::sevenZipFailure("el archivo está dañado o no es un 7z válido.");
    }

    // Callbacks: library status codes are the contract here, so nothing may be thrown through.
    static la_ssize_t readCallback(archive* handle, void* data, const void** block) {
        auto* state = static_cast<State*>(data);
        if (state->progress.isCancelled()) {
            ::archive_set_error(handle, ECANCELED, "cancelled");
            return ARCHIVE_FATAL;
        }
        try {
            *block = state->buffer.data();
            return static_cast<la_ssize_t>(
                state->stream.read(state->buffer.data(), state->buffer.size()));
        } catch (...) {
            state->streamFailure = std::current_exception();
            ::archive_set_error(handle, EIO, "read failed");
            return ARCHIVE_FATAL;
        }
    }

    static la_int64_t seekCallback(archive*, void* data, la_int64_t offset, int whence) {
        auto* state = static_cast<State*>(data);
        const std::int64_t position = state->stream.seek(offset, whence);
        return position < 0 ? ARCHIVE_FATAL : position;
    }

    static la_int64_t skipCallback(archive*, void* data, la_int64_t request) {
        auto* state = static_cast<State*>(data);
        auto& stream = state->stream;
        const std::int64_t step =
            std::min<std::int64_t>(request, stream.size() - stream.position());
        if (step <= 0)
            return 0;
        stream.seek(step, SEEK_CUR);
        return step;
    }
};

SevenZipLibarchiveReader::SevenZipLibarchiveReader(
    const std::vector<std::filesystem::path>& volumes, Progress& progress)
    : state_(std::make_unique<State>(volumes, progress)) {
    progress.throwIfCancelled();
    auto& stream = state_->stream;
    // A set whose parts fall short of the size its start header announces lacks a part; the
    // library could only call that damage, so the missing part is named here.
    std::array<std::uint8_t, sevenzip::startHeaderSize> head{};
    const std::size_t headSize = stream.read(head.data(), head.size());
    stream.seek(0, SEEK_SET);
    const auto startHeader = sevenzip::parseStartHeader(head.data(), headSize);
    const auto expected = startHeader ? startHeader->archiveSize() : std::nullopt;
    if (expected && static_cast<std::uint64_t>(stream.size()) < *expected) {
        if (const auto next = sevenZipPartLocation(volumes.front(), volumes.size() + 1))
            throw ArchiveFailure::missingVolume(paths::lastPathComponent(*next));
    }

    state_->handle = ::archive_read_new();
    if (!state_->handle)
        throw std::bad_alloc();
    archive* handle = state_->handle;
    if (::archive_read_support_format_7zip(handle) != ARCHIVE_OK ||
        ::archive_read_set_read_callback(handle, &State::readCallback) != ARCHIVE_OK ||
        ::archive_read_set_seek_callback(handle, &State::seekCallback) != ARCHIVE_OK ||
        ::archive_read_set_skip_callback(handle, &State::skipCallback) != ARCHIVE_OK ||
        ::archive_read_set_callback_data(handle, state_.get()) != ARCHIVE_OK ||
        ::archive_read_open1(handle) != ARCHIVE_OK)
        state_->fail(false);
    state_->opened = true;
}

SevenZipLibarchiveReader::~SevenZipLibarchiveReader() = default;

std::optional<SevenZipEntry> SevenZipLibarchiveReader::next() {
    state_->progress.throwIfCancelled();
    archive_entry* header = nullptr;
    const int status = ::archive_read_next_header(state_->handle, &header);
    if (status == ARCHIVE_EOF)
        return std::nullopt;
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
        state_->fail(false);
    const char* name = ::archive_entry_pathname_utf8(header);
    if (!name)
        throw ArchiveFailure::sevenZipFailure("un nombre del archivo no se puede leer.");

    SevenZipEntry entry;
    entry.item.path = name;
    while (entry.item.path.starts_with("./"))
        entry.item.path.erase(0, 2);
    switch (::archive_entry_filetype(header)) {
    case 0: // permission bits without a type, as py7zr writes them
    case AE_IFREG:
        entry.type = files::FileType::regular;
        break;
    case AE_IFDIR:
        entry.type = files::FileType::directory;
        break;
    case AE_IFLNK:
        entry.type = files::FileType::symbolicLink;
        break;
    default:
        entry.type = files::FileType::other;
        break;
    }
    entry.item.isDirectory = entry.type == files::FileType::directory;
    if (entry.item.isDirectory && !entry.item.path.ends_with('/'))
        entry.item.path += '/';
    entry.item.size = entry.item.isDirectory ? 0 : ::archive_entry_size(header);
    // A solid 7z folder packs many entries together: no entry has a stored size of its own.
    entry.item.compressedSize = 0;
    entry.item.isEncrypted = ::archive_entry_is_encrypted(header) != 0;
    entry.permissions = ::archive_entry_perm(header) & 0777;
    // An entry without Unix bits (made on Windows) comes as 0666 or 0777, meant for a umask;
    // written as they are, they would let every user change the file.
    if (entry.permissions == 0666 && entry.type == files::FileType::regular)
        entry.permissions = 0644;
    else if (entry.permissions == 0777 && entry.type == files::FileType::directory)
        entry.permissions = 0755;
    if (::archive_entry_mtime_is_set(header))
        entry.modificationDate =
            files::FileTime(std::chrono::seconds(::archive_entry_mtime(header))) +
            std::chrono::duration_cast<files::FileTime::duration>(
                std::chrono::nanoseconds(::archive_entry_mtime_nsec(header)));
    state_->currentPath = entry.item.path;
    return entry;
}

std::size_t SevenZipLibarchiveReader::read(void* buffer, std::size_t size) {
    const la_ssize_t count = ::archive_read_data(state_->handle, buffer, size);
    // A CRC mismatch comes back as a warning; any short or failed read is damage.
    if (count < 0)
        state_->fail(true);
    return static_cast<std::size_t>(count);
}

} // namespace vexa
