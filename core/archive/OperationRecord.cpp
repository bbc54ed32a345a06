#include "core/archive/OperationRecord.h"

#include "platform/FileOperations.h"

namespace vexa {

OperationRecord OperationRecord::make(std::string title, std::string detail,
                                      std::optional<std::filesystem::path> output, bool succeeded) {
    return OperationRecord{files::newUUIDString(),           std::move(title),  std::move(detail),
                           std::chrono::system_clock::now(), std::move(output), succeeded};
}

} // namespace vexa
