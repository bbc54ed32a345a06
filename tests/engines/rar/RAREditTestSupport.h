#pragma once

#include "core/archive/ArchiveFailure.h"
#include "tests/support/TestSupport.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Helpers shared by the RAR engine's tests.
namespace vexa::testing::rar {

// The general helpers too, so that one `using namespace` brings every name.
using namespace vexa::testing;

// A stand-in for the rar program that appends its argument list (one argument a line, then
// "<end of run>") to `log` and then runs the real program, or exits with `exitStatus` when one is
// given.
std::filesystem::path makeRecordingRar(const std::filesystem::path& folder,
                                       const std::filesystem::path& log,
                                       std::optional<int> exitStatus = std::nullopt);

// The argument lists recorded by makeRecordingRar, one per run; none when it never ran.
std::vector<std::vector<std::string>> recordedRuns(const std::filesystem::path& log);

// Entry paths as the system's reader lists them (folders end with "/").
std::set<std::string> listedPaths(const std::filesystem::path& archive,
                                  const std::optional<std::string>& password = std::nullopt);

// One file's data as unrar prints it.
std::string unrarBytes(const std::filesystem::path& archive, const std::string& path,
                       const std::optional<std::string>& password = std::nullopt);

// The failure an action throws, if any.
template <typename Action> std::optional<ArchiveFailure> failureOf(Action action) {
    try {
        action();
    } catch (const ArchiveFailure& failure) {
        return failure;
    }
    return std::nullopt;
}

// Names in a folder (hidden ones too), to see that nothing was left behind.
std::set<std::string> namesIn(const std::filesystem::path& folder);

} // namespace vexa::testing::rar
