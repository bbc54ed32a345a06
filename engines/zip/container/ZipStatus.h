#pragma once

#include <string>

// Results of the ZIP container calls. Every call answers one of these (or, for the data calls, a
// byte count >= 0); nothing is ever thrown across the container's boundary.
namespace vexa::zipstatus {

inline constexpr int ok = 0;
inline constexpr int endOfList = -100;   // no further entry
inline constexpr int endOfStream = -101; // data ended early
inline constexpr int param = -102;       // bad argument, or a call in the wrong state
inline constexpr int format = -103;      // the bytes are not a valid archive
inline constexpr int internal = -104;    // out of memory or a library failure
inline constexpr int crc = -105;
inline constexpr int crypt = -106;    // the cryptographic library failed
inline constexpr int exist = -107;    // no such object (or: the test's answer is "no")
inline constexpr int password = -108; // the password does not open the entry
inline constexpr int support = -109;  // a method, encryption or feature this layer lacks
inline constexpr int hash = -110;     // the WinZip AES authentication code does not match
inline constexpr int open = -111;
inline constexpr int close = -112;
inline constexpr int seek = -113;
inline constexpr int tell = -114;
inline constexpr int read = -115;
inline constexpr int write = -116;
inline constexpr int sign = -117;
inline constexpr int symlink = -118;

// The system error behind the last failed write, open or close of an output file on this
// thread, so that the engine can give the platform's own message for it instead of a number.
struct SystemFailure {
    int errorNumber = 0;
    std::string path;
};
inline thread_local SystemFailure lastSystemFailure;

inline int systemFailure(int status, int errorNumber, const std::string& path) {
    lastSystemFailure = SystemFailure{errorNumber, path};
    return status;
}

} // namespace vexa::zipstatus
