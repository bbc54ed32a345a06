#pragma once

#include <stdexcept>
#include <string>
#include <system_error>

namespace vexa {

// Thrown by work that stops because its progress object was cancelled.
class CancellationError : public std::runtime_error {
  public:
    CancellationError();
};

// A failure of the platform layer, with a Spanish description in what().
class PlatformError : public std::runtime_error {
  public:
    enum class Code {
        fileReadUnknown,
        fileWriteUnknown,
        fileReadNoPermission,
        fileNoSuchFile,
        fileWriteOutOfSpace,
        system, // an errno passed on from the system
    };

    PlatformError(Code code, std::string path, int errorNumber = 0);
    // Maps an errno to the closest code (ENOENT, EACCES/EPERM, ENOSPC, otherwise system).
    static PlatformError fromErrno(int errorNumber, const std::string& path, bool writing);

    Code code() const { return code_; }
    const std::string& path() const { return path_; }
    int errorNumber() const { return errno_; }

  private:
    Code code_;
    std::string path_;
    int errno_;
};

} // namespace vexa
