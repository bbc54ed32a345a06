#pragma once

#include "core/archive/ArchiveFailure.h"
#include "core/archive/ArchiveFormat.h"
#include "core/archive/ArchiveItem.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The walk over the files and folders chosen for a new archive, and the check of what a writer
// produced against them. Shared by the RAR, 7z and TAR writers.
namespace vexa {

class SourceChecksums;

// Where a collected source item lies, kept as its text: a std::filesystem::path also keeps
// each of its components apart, some 700 bytes more for a file ten folders deep, which a walk
// of many files feels in its memory. Converts to a path wherever one is taken.
class SourceLocation {
  public:
    SourceLocation() = default;
    SourceLocation(const std::filesystem::path& location) : text_(location.native()) {}
    // From the path's text itself: a walk of many files then builds no path, which splits
    // every one into its components.
    static SourceLocation fromText(std::string text) {
        SourceLocation location;
        location.text_ = std::move(text);
        return location;
    }
    operator std::filesystem::path() const { return text_; }
    const char* c_str() const { return text_.c_str(); }
    const std::string& string() const { return text_; }
    bool operator==(const SourceLocation&) const = default;

  private:
    std::string text_;
};

// One collected source item.
struct RARSourceEntry {
    SourceLocation url;
    // Bytes; 0 for folders.
    std::int64_t size = 0;
    bool isDirectory = false;

    bool operator==(const RARSourceEntry&) const = default;
};

// Entry path (the chosen item's own name, then "/" and each deeper component; folders end with
// "/") -> the item on disk.
using SourceEntryMap = std::map<std::string, RARSourceEntry>;

// An archive as read back: entry path -> (its listed item, CRC-32 of its data when known).
// Same shape as RARArchiveEngine::EntryChecksums.
using ReadBackEntries = std::map<std::string, std::pair<ArchiveItem, std::optional<std::uint32_t>>>;

// Whether the file at `location`, named `name`, is an AppleDouble sidecar: a "._" file whose
// first four bytes are 00 05 16 07, the metadata another system copied beside a file. Any
// other "._" file is an ordinary file.
bool isAppleDoubleSidecar(const std::filesystem::path& location, const std::string& name);

// How one writer walks its sources.
struct SourceWalkRules {
    // Whose text a device, pipe or socket fails with: rar's unsupportedRAR, tar's
    // unsupportedTar(entry path) or 7z's unsupported7z.
    ArchiveFormat format = ArchiveFormat::rar;
    // Keeps the sidecars too: a set saved as one archive keeps every entry it had.
    bool keepSidecars = false;
    // When given, receives the entry path of every sidecar left out.
    std::vector<std::string>* leftOut = nullptr;
    // Names must be well-formed UTF-8 (a 7z stores them as UTF-16): any other fails with the
    // format's failure carrying unstorableNameMessage, never stored under another name.
    bool utf8Names = false;
};

// Walks one chosen item (never following symbolic links) under `name` and every folder below
// it, AppleDouble sidecars among the children left out unless the rules keep them. Adds each
// entry to `entries`, its name key (nameKey) to `duplicateKeys`, and max(size, 1) to `units`;
// these are shared by the walks of one creation. Throws symbolicLink (a link anywhere), the
// format's special-file failure (a device, pipe or socket), unsafePath (an empty name, one
// with "\", ":" or NUL, or a ".." component), a name the rules do not store, duplicate (a key
// already seen; the name walked second), the platform's errors, or CancellationError.
void collectSourceEntries(const std::filesystem::path& location, const std::string& name,
                          Progress& progress, std::set<std::string>& duplicateKeys,
                          SourceEntryMap& entries, std::int64_t& units,
                          const SourceWalkRules& rules = {});

// Whether `destination` is `source` itself or lies below it, both with their symbolic links
// resolved: an archive written there would be collected into itself.
bool liesWithinSource(const std::filesystem::path& destination,
                      const std::filesystem::path& source);

// zlib's CRC-32 of the whole file, read in 256 KiB blocks; adds every byte read to the
// completed units. Throws the platform's errors or CancellationError.
std::uint32_t crc32OfFile(const std::filesystem::path& location, Progress& progress);

// Checks that every source entry is in `archived` with the same kind, and every file with the
// same size and the CRC-32 of the file as it is now on disk. Advances the progress by one per
// folder and empty file and by the bytes of the others. A mismatch throws ArchiveFailure of
// `kind` (a payload case: rarCreation, rarEdit, sevenZipFailure, tarFailure), naming the
// entry when only its data differ. Entries of `archived` missing from `sources` are not
// looked at: callers compare the two path sets first when they need equality. With
// `checksums`, the files' CRC-32s come from there instead of being read here.
void verifyRARAgainstSources(const ReadBackEntries& archived, const SourceEntryMap& sources,
                             Progress& progress, ArchiveFailure::Case kind,
                             SourceChecksums* checksums = nullptr);

// The text of a failure whose archive holds other entries than the sources.
inline constexpr const char* kContentMismatchMessage =
    "el contenido del RAR no coincide con los archivos seleccionados.";
// The text of a failure whose source `entryPath` has a name the archive cannot store as it is.
std::string unstorableNameMessage(const std::string& entryPath);
// The text of a failure whose source `entryPath` no longer reads as it was archived.
std::string changedSourceMessage(const std::string& entryPath);
// The same text naming the format of `kind` (TAR and 7z failures name their own format).
const char* contentMismatchMessage(ArchiveFailure::Case kind);

} // namespace vexa
