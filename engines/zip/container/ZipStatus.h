#pragma once

// Results of the ZIP container calls. Every call answers one of these (or, for the data calls, a
// byte count >= 0). The one thing thrown across the container's boundary is the PlatformError of
// a failed open, write or close of an output file, thrown where it happens and naming the file.
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

} // namespace vexa::zipstatus
