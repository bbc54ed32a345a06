#include "engines/sevenzip/SevenZipArchiveWriter.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipLocale.h"
#include "engines/sevenzip/SevenZipVolumeWriter.h"
#include "platform/PlatformError.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <chrono>
#include <exception>
#include <string>

namespace vexa {

struct SevenZipArchiveWriter::State {
    State(const std::filesystem::path& location, std::int64_t volumeSize, Progress& progress)
        : progress(progress), sink(location, volumeSize) {}
    ~State() {
        if (!handle)
            return;
        // An archive given up on must not be finished on the way out: closing would write its
        // headers and copy every compressed byte to the sink once more.
        if (!finished)
            ::archive_write_fail(handle);
        ::archive_write_free(handle);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    SevenZipUTF8Locale locale;
    Progress& progress;
    SevenZipVolumeWriter sink;
    archive* handle = nullptr;
    std::exception_ptr sinkFailure;
    bool finished = false;

    [[noreturn]] void fail() {
        progress.throwIfCancelled();
        if (sinkFailure)
            std::rethrow_exception(sinkFailure);
        const char* text = ::archive_error_string(handle);
        throw ArchiveFailure::sevenZipFailure(std::string("no se pudo escribir el 7z") +
                                              (text ? std::string(": ") + text : "") + ".");
    }

    void check(int status) {
        if (status != ARCHIVE_OK)
            fail();
    }

    // Library status codes are the contract here, so nothing may be thrown through.
    static la_ssize_t writeCallback(archive* handle, void* data, const void* buffer,
                                    std::size_t size) {
        auto* state = static_cast<State*>(data);
        if (state->progress.isCancelled()) {
            ::archive_set_error(handle, ECANCELED, "cancelled");
            return -1;
        }
        try {
            state->sink.write(buffer, size);
            return static_cast<la_ssize_t>(size);
        } catch (...) {
            state->sinkFailure = std::current_exception();
            ::archive_set_error(handle, EIO, "write failed");
            return -1;
        }
    }
};

SevenZipArchiveWriter::SevenZipArchiveWriter(const std::filesystem::path& location,
                                             std::int64_t volumeSize, int level, Progress& progress)
    : state_(std::make_unique<State>(location, volumeSize, progress)) {
    state_->handle = ::archive_write_new();
    if (!state_->handle)
        throw std::bad_alloc();
    archive* handle = state_->handle;
    const std::string levelText = std::to_string(level);
    state_->check(::archive_write_set_format_7zip(handle));
    state_->check(::archive_write_set_format_option(handle, "7zip", "compression",
                                                    level == 0 ? "copy" : "lzma2"));
    state_->check(
        ::archive_write_set_format_option(handle, "7zip", "compression-level", levelText.c_str()));
    // Unblocked: the library would otherwise pad the end of the archive to a whole block.
    state_->check(::archive_write_set_bytes_per_block(handle, 0));
    state_->check(
        ::archive_write_open(handle, state_.get(), nullptr, &State::writeCallback, nullptr));
}

SevenZipArchiveWriter::~SevenZipArchiveWriter() = default;

const std::vector<std::filesystem::path>& SevenZipArchiveWriter::parts() const {
    return state_->sink.parts();
}

void SevenZipArchiveWriter::beginEntry(const std::string& path, files::FileType type,
                                       std::int64_t size, mode_t permissions,
                                       std::optional<files::FileTime> modificationDate) {
    state_->progress.throwIfCancelled();
    struct EntryDeleter {
        void operator()(archive_entry* entry) const { ::archive_entry_free(entry); }
    };
    std::unique_ptr<archive_entry, EntryDeleter> entry(::archive_entry_new());
    if (!entry)
        throw std::bad_alloc();
    ::archive_entry_set_pathname_utf8(entry.get(), path.c_str());
    const bool isDirectory = type == files::FileType::directory;
    ::archive_entry_set_filetype(entry.get(), isDirectory ? AE_IFDIR : AE_IFREG);
    ::archive_entry_set_perm(entry.get(), permissions & 07777);
    ::archive_entry_set_size(entry.get(), isDirectory ? 0 : size);
    if (modificationDate) {
        const auto sinceEpoch = modificationDate->time_since_epoch();
        const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
        ::archive_entry_set_mtime(
            entry.get(), static_cast<time_t>(seconds.count()),
            static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds)
                    .count()));
    }
    const int status = ::archive_write_header(state_->handle, entry.get());
    if (status != ARCHIVE_OK)
        state_->fail();
}

void SevenZipArchiveWriter::writeData(const void* data, std::size_t size) {
    state_->progress.throwIfCancelled();
    const la_ssize_t written = ::archive_write_data(state_->handle, data, size);
    if (written < 0 || static_cast<std::size_t>(written) != size)
        state_->fail();
}

void SevenZipArchiveWriter::finish() {
    state_->progress.throwIfCancelled();
    state_->finished = true;
    if (::archive_write_close(state_->handle) != ARCHIVE_OK)
        state_->fail();
    state_->sink.close();
}

} // namespace vexa
