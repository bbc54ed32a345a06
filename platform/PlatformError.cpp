#include "platform/PlatformError.h"

#include "platform/WorkFolders.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vexa {

CancellationError::CancellationError() : std::runtime_error("Se canceló la operación.") {}

namespace {

std::string describe(PlatformError::Code code, const std::string& path, int errorNumber) {
    std::filesystem::path location(path);
    // The user never sees the program's work folders, only the file or folder they chose.
    if (const auto userItem = files::userItemForWorkPath(location))
        location = *userItem;
    if (!location.has_filename())
        location = location.parent_path(); // a folder written with its trailing "/"
    const std::string name = location.filename().string();
    // Without a path (for example unreadable bookmark data) the sentences lose their file name
    // rather than showing empty quotes.
    const std::string file = name.empty() ? "el archivo" : "el archivo «" + name + "»";
    switch (code) {
    case PlatformError::Code::fileReadUnknown:
        return "No se pudo leer " + file + ".";
    case PlatformError::Code::fileWriteUnknown:
        return "No se pudo guardar " + file + ".";
    case PlatformError::Code::fileReadNoPermission:
        return "No se pudo abrir " + file + " porque no tienes permiso para verlo.";
    case PlatformError::Code::fileNoSuchFile:
        return name.empty() ? std::string("El archivo no existe.")
                            : "El archivo «" + name + "» no existe.";
    case PlatformError::Code::fileWriteOutOfSpace:
        return "No se pudo guardar " + file + " porque no hay espacio suficiente.";
    case PlatformError::Code::system:
        break;
    }
    const std::string item = name.empty() ? "el archivo" : "«" + name + "»";
    switch (errorNumber) {
    case EROFS:
        return "No se pudo guardar " + item + " porque el disco es de solo lectura.";
    case EACCES:
    case EPERM:
        return "No se pudo guardar " + item + " porque no tienes permiso para escribir ahí.";
    case ENAMETOOLONG:
        return "No se pudo guardar " + item + " porque el nombre es demasiado largo.";
    case EIO:
        return "No se pudo guardar " + item + " por un error de lectura o escritura del disco.";
    case EFBIG:
        return "No se pudo guardar " + item + " porque es demasiado grande para este disco.";
    case EEXIST:
    case ENOTEMPTY:
        return "No se pudo guardar " + item + " porque ya existe un elemento con ese nombre.";
    case ELOOP:
    case EMLINK:
        return "No se pudo guardar " + item + " porque hay demasiados enlaces en la ruta.";
    case EXDEV:
        return "No se pudo mover " + item + " a otro disco.";
    case EMFILE:
    case ENFILE:
        return "No se pudo abrir " + item + " porque hay demasiados archivos abiertos.";
    case ENOMEM:
        return "No hay memoria suficiente para trabajar con " + item + ".";
    default:
        break;
    }
    const std::string target = name.empty() ? "" : " con «" + name + "»";
    return "No se pudo completar la operación" + target + " (error del sistema " +
           std::to_string(errorNumber) + ").";
}

} // namespace

PlatformError::PlatformError(Code code, std::string path, int errorNumber)
    : std::runtime_error(describe(code, path, errorNumber)), code_(code), path_(std::move(path)),
      errno_(errorNumber) {}

PlatformError PlatformError::fromErrno(int errorNumber, const std::string& path, bool writing) {
    switch (errorNumber) {
    case ENOENT:
    case ENOTDIR: // a folder along the path is a file: the item cannot exist
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
