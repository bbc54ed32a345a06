#include "platform/PlatformError.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vexa {

CancellationError::CancellationError() : std::runtime_error("Se canceló la operación.") {}

namespace {

std::string describe(PlatformError::Code code, const std::string& path, int errorNumber) {
    const std::string name = std::filesystem::path(path).filename().string();
    switch (code) {
    case PlatformError::Code::fileReadUnknown:
        return "No se pudo leer el archivo «" + name + "».";
    case PlatformError::Code::fileWriteUnknown:
        return "No se pudo guardar el archivo «" + name + "».";
    case PlatformError::Code::fileReadNoPermission:
        return "No se pudo abrir el archivo «" + name + "» porque no tienes permiso para verlo.";
    case PlatformError::Code::fileNoSuchFile:
        return "El archivo «" + name + "» no existe.";
    case PlatformError::Code::fileWriteOutOfSpace:
        return "No se pudo guardar el archivo «" + name + "» porque no hay espacio suficiente.";
    case PlatformError::Code::system:
        break;
    }
    return "No se pudo completar la operación con «" + name + "» (error del sistema " +
           std::to_string(errorNumber) + ").";
}

} // namespace

PlatformError::PlatformError(Code code, std::string path, int errorNumber)
    : std::runtime_error(describe(code, path, errorNumber)), code_(code), path_(std::move(path)),
      errno_(errorNumber) {}

PlatformError PlatformError::fromErrno(int errorNumber, const std::string& path, bool writing) {
    switch (errorNumber) {
    case ENOENT:
        return {Code::fileNoSuchFile, path, errorNumber};
    case EACCES:
    case EPERM:
        return {writing ? Code::system : Code::fileReadNoPermission, path, errorNumber};
    case ENOSPC:
    case EDQUOT:
        return {Code::fileWriteOutOfSpace, path, errorNumber};
    default:
        return {Code::system, path, errorNumber};
    }
}

} // namespace vexa
