#include "TarFileKind.h"

#include "platform/Paths.h"

namespace vexa::tar {

TarFileKind tarFileKind(const std::filesystem::path& archive) {
    TarFileKind kind;
    kind.compression = detectTarCompression(archive);
    std::string name = paths::lastPathComponent(archive);
    std::optional<std::string> suffix = tarSuffix(archive);
    if (!suffix || suffix->size() >= name.size()) {
        kind.resultName = paths::nameDeletingExtension(name);
        return kind;
    }
    std::string stem = name.substr(0, name.size() - suffix->size());
    kind.singleFile = suffix->rfind(".t", 0) != 0;
    if (kind.singleFile)
        kind.entryName = stem;
    // Like every archive, the result folder is named after the file without its suffix.
    kind.resultName = stem;
    return kind;
}

} // namespace vexa::tar
