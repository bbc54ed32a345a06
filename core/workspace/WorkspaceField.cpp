#include "core/workspace/WorkspaceField.h"

namespace vexa {

std::string_view fieldName(WorkspaceField field) {
    switch (field) {
    case WorkspaceField::page:
        return "page";
    case WorkspaceField::archive:
        return "archive";
    case WorkspaceField::selection:
        return "selection";
    case WorkspaceField::folder:
        return "folder";
    case WorkspaceField::search:
        return "search";
    case WorkspaceField::sources:
        return "sources";
    case WorkspaceField::useCompression:
        return "useCompression";
    case WorkspaceField::rarLevel:
        return "rarLevel";
    case WorkspaceField::rarSelfExtracting:
        return "rarSelfExtracting";
    case WorkspaceField::rarRecoveryRecord:
        return "rarRecoveryRecord";
    case WorkspaceField::sevenZipLevel:
        return "sevenZipLevel";
    case WorkspaceField::tarCompression:
        return "tarCompression";
    case WorkspaceField::tarLevel:
        return "tarLevel";
    case WorkspaceField::tarSingleFile:
        return "tarSingleFile";
    case WorkspaceField::archiveName:
        return "archiveName";
    case WorkspaceField::creationFormat:
        return "creationFormat";
    case WorkspaceField::protectWithPassword:
        return "protectWithPassword";
    case WorkspaceField::hideNames:
        return "hideNames";
    case WorkspaceField::creationPassword:
        return "creationPassword";
    case WorkspaceField::passwordConfirmation:
        return "passwordConfirmation";
    case WorkspaceField::splitMegabytes:
        return "splitMegabytes";
    case WorkspaceField::previewURL:
        return "previewURL";
    case WorkspaceField::showInspector:
        return "showInspector";
    case WorkspaceField::isBusy:
        return "isBusy";
    case WorkspaceField::operationTitle:
        return "operationTitle";
    case WorkspaceField::fraction:
        return "fraction";
    case WorkspaceField::isCancelling:
        return "isCancelling";
    case WorkspaceField::statusMessage:
        return "statusMessage";
    case WorkspaceField::errorMessage:
        return "errorMessage";
    case WorkspaceField::lastOutput:
        return "lastOutput";
    case WorkspaceField::records:
        return "records";
    case WorkspaceField::recents:
        return "recents";
    case WorkspaceField::isDefaultApp:
        return "isDefaultApp";
    }
    return {};
}

} // namespace vexa
