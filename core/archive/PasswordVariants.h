#pragma once

#include <string>
#include <vector>

namespace vexa {

// NFC, NFD and as typed, without repeats (by UTF-8 bytes), in that order.
std::vector<std::string> passwordVariants(const std::string& password);
// Byte strings for the ZIP engine, each ending in one NUL byte: the UTF-8 variants, then the
// lossless code page 850, 437 and Windows-1252 forms of the NFC text, without repeats.
std::vector<std::string> zipPasswordCandidates(const std::string& password);
std::vector<std::string> uniqueCandidates(const std::vector<std::string>& candidates);

} // namespace vexa
