#pragma once

#include "core/archive/ArchiveFailure.h"
#include "tests/support/TestSupport.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

// Fixtures for the ZIP engine tests: archives made by Python's zipfile, Info-ZIP and bsdtar.
namespace vexa {

// Readable failures in test output.
inline void PrintTo(const ArchiveFailure& failure, std::ostream* out) {
    *out << failure.message();
}

} // namespace vexa

namespace vexa::ziptest {

// The general helpers too, so that one `using namespace` brings every name.
using namespace vexa::testing;

// Runs a python3 script in `directory` after a prelude that imports zipfile, struct and os and
// defines add(zf, raw_name_bytes, data=b"", utf8=False, system=3, mode=0o100644,
// method=zipfile.ZIP_STORED, date=(2020, 5, 17, 10, 20, 30)), which stores the name bytes
// exactly as given (no NUL stripping, UTF-8 flag only on request).
void runPython(const std::string& script, const std::filesystem::path& directory);

// The ArchiveFailure that `work` throws, or none when it throws nothing. Other exceptions
// fail the current test.
std::optional<ArchiveFailure> failureOf(const std::function<void()>& work);

// Whether `work` ends in CancellationError. Other exceptions fail the current test.
bool endsInCancellation(const std::function<void()>& work);

// The names in `folder` that start with ".vexa-", which no finished operation leaves behind.
std::vector<std::string> leftovers(const std::filesystem::path& folder);

// Flips every bit of the byte `offset` bytes into the stored data (encryption header included)
// of the entry whose local header carries `name`.
void damageEntryData(const std::filesystem::path& file, const std::string& name,
                     std::size_t offset);

} // namespace vexa::ziptest
