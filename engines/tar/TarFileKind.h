#pragma once

#include "core/archive/TarCompression.h"

#include <filesystem>
#include <optional>
#include <string>

namespace vexa::tar {

// What a file's name says it is.
struct TarFileKind {
    std::optional<TarCompression> compression; // as the name says; none for an unknown suffix
    bool singleFile = false;                   // a bare compressed file, not a TAR archive
    std::string entryName;                     // single file: its one entry ("notas.txt")
    std::string resultName; // folder made by an extraction ("fotos", "notas.txt")
};

// A name ending in a suffix that begins with ".t" (".tar", ".tar.gz", ".tgz", ".tzst"...) is
// a TAR archive; any other known suffix (".gz", ".zst"...) marks a single compressed file. A
// name without a known suffix is read as a TAR archive.
TarFileKind tarFileKind(const std::filesystem::path& archive);

} // namespace vexa::tar
