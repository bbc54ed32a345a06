#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace vexa {

// One line of the activity log; immutable once made.
struct OperationRecord {
    std::string id; // a fresh UUID
    std::string title;
    std::string detail;
    std::chrono::system_clock::time_point date;
    std::optional<std::filesystem::path> output;
    bool succeeded = false;

    static OperationRecord make(std::string title, std::string detail,
                                std::optional<std::filesystem::path> output, bool succeeded);
    bool operator==(const OperationRecord&) const = default;
};

} // namespace vexa
