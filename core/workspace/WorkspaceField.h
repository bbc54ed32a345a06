#pragma once

#include <string_view>

namespace vexa {

// The observed fields of WorkspaceModel; observers are told which one changed.
enum class WorkspaceField {
    page,
    archive,
    selection,
    folder,
    search,
    sources,
    useCompression,
    rarLevel,
    rarSelfExtracting,
    rarRecoveryRecord,
    sevenZipLevel,
    tarCompression,
    tarLevel,
    tarSingleFile,
    archiveName,
    creationFormat,
    protectWithPassword,
    hideNames,
    creationPassword,
    passwordConfirmation,
    splitMegabytes,
    previewURL,
    showInspector,
    isBusy,
    operationTitle,
    fraction,
    isCancelling,
    statusMessage,
    errorMessage,
    lastOutput,
    records,
    recents,
    isDefaultApp,
};

// The field's name as the model spells it ("isBusy", "previewURL", ...).
std::string_view fieldName(WorkspaceField field);

} // namespace vexa
