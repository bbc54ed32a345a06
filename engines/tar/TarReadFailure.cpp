#include "TarReadFailure.h"

#include <climits>
#include <string>
#include <unistd.h>

namespace vexa::tar {

ArchiveFailure damagedArchive() {
    return ArchiveFailure::tarFailure("el archivo está dañado o incompleto.");
}

ArchiveFailure notTarArchive() {
    return ArchiveFailure::tarFailure("el archivo no tiene un formato compatible.");
}

ArchiveFailure outOfMemory() {
    return ArchiveFailure::tarFailure("no hay memoria suficiente.");
}

PlatformError readFailure(int descriptor, int errorNumber) {
    // The readers that decode pieces at once hold the descriptor only; the system still
    // knows which file it opened.
    char location[PATH_MAX];
    std::string link = "/proc/self/fd/" + std::to_string(descriptor);
    ssize_t length = ::readlink(link.c_str(), location, sizeof location);
    return PlatformError::fromErrno(
        errorNumber, length > 0 ? std::string(location, static_cast<std::size_t>(length)) : "",
        false);
}

} // namespace vexa::tar
