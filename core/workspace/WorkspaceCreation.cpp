#include "core/archive/ArchiveFailure.h"
#include "core/archive/RarLocator.h"
#include "core/workspace/ArchiveCreation.h"
#include "core/workspace/WorkspaceModel.h"
#include "engines/EngineFactory.h"
#include "platform/Bookmarks.h"
#include "platform/Paths.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <limits>

namespace vexa {

namespace {

std::string tarFileExtension(TarCompression compression) {
    switch (compression) {
    case TarCompression::none:
        return "tar";
    case TarCompression::gzip:
        return "tar.gz";
    case TarCompression::bzip2:
        return "tar.bz2";
    case TarCompression::xz:
        return "tar.xz";
    case TarCompression::zstd:
        return "tar.zst";
    }
    return "tar";
}

std::optional<std::string> singleFileExtension(TarCompression compression) {
    switch (compression) {
    case TarCompression::none:
        return std::nullopt;
    case TarCompression::gzip:
        return "gz";
    case TarCompression::bzip2:
        return "bz2";
    case TarCompression::xz:
        return "xz";
    case TarCompression::zstd:
        return "zst";
    }
    return std::nullopt;
}

// Panels and drops on this platform give folders without a trailing "/", so the folder is
// also recognised on disk.
bool isDirectoryLocation(const std::filesystem::path& location) {
    std::error_code error;
    return paths::hasDirectoryPath(location) || std::filesystem::is_directory(location, error);
}

bool isValidArchiveName(const std::string& name) {
    return name.find_first_of("/:\\") == std::string::npos && name != "." && name != "..";
}

std::string lowercasedName(ArchiveFormat format) {
    return text::lowercased(rawValue(format));
}

// Volume sizes beyond a signed 64-bit byte count, and negative ones, are no size at all.
constexpr std::int64_t largestSplitMegabytes = std::numeric_limits<std::int64_t>::max() >> 20;

} // namespace

CreationAbilities WorkspaceModel::creationAbilities(ArchiveFormat format) {
    return makeArchiveEditor(format, std::nullopt)->creationAbilities();
}

void WorkspaceModel::addSources(const std::vector<Path>& locations) {
    if (isBusy_)
        return;
    std::vector<Path> listed = sources_;
    for (const Path& location : locations) {
        if (!location.is_absolute() ||
            std::find(listed.begin(), listed.end(), location) != listed.end())
            continue;
        if (bookmarks::startAccessing(location))
            sourceScopes_.push_back(location);
        listed.push_back(location);
    }
    setSources(std::move(listed));
    if (page_ != WorkspacePage::create)
        setPage(WorkspacePage::create);
}

void WorkspaceModel::removeSource(const Path& location) {
    if (isBusy_)
        return;
    std::vector<Path> listed = sources_;
    listed.erase(std::remove(listed.begin(), listed.end(), location), listed.end());
    setSources(std::move(listed));
    const auto scope = std::find(sourceScopes_.begin(), sourceScopes_.end(), location);
    if (scope != sourceScopes_.end()) {
        sourceScopes_.erase(scope);
        bookmarks::stopAccessing(location);
    }
}

void WorkspaceModel::clearSources() {
    if (isBusy_)
        return;
    for (const Path& scope : sourceScopes_)
        bookmarks::stopAccessing(scope);
    sourceScopes_.clear();
    setSources({});
}

bool WorkspaceModel::singleFileMode() const {
    return creationFormat_ == ArchiveFormat::tar && tarCompression_ != TarCompression::none &&
           tarSingleFile_ && sources_.size() == 1 && !isDirectoryLocation(sources_.front());
}

std::string WorkspaceModel::outputNameSuffix() const {
    switch (creationFormat_) {
    case ArchiveFormat::zip:
        return ".zip";
    case ArchiveFormat::rar:
        return rarSelfExtracting_ ? ".sfx" : ".rar";
    case ArchiveFormat::sevenZip:
        return ".7z";
    case ArchiveFormat::tar:
        if (singleFileMode())
            return "(nombre del archivo)." + singleFileExtension(tarCompression_).value_or("");
        return "." + tarFileExtension(tarCompression_);
    }
    return "";
}

void WorkspaceModel::createArchive() {
    if (isBusy_ || sources_.empty())
        return;
    const ArchiveFormat format = creationFormat_;
    if (format == ArchiveFormat::rar && !resourceRARExecutable() && !chooseRarProgram())
        return;
    if (!isValidArchiveName(archiveName_)) {
        setErrorMessage("Escribe un nombre de archivo válido.");
        return;
    }
    if (format != ArchiveFormat::tar && protectWithPassword_ &&
        (creationPassword_.empty() ||
         text::nfc(creationPassword_) != text::nfc(passwordConfirmation_))) {
        setErrorMessage("Escribe y confirma la misma contraseña.");
        return;
    }

    CreationRequest request;
    request.format = format;
    if (format != ArchiveFormat::tar && protectWithPassword_)
        request.password = creationPassword_;

    const bool singleFile = singleFileMode();
    std::string extension;
    if (format == ArchiveFormat::rar && rarSelfExtracting_) {
        extension = "sfx";
    } else if (format == ArchiveFormat::tar) {
        extension = singleFile ? singleFileExtension(tarCompression_).value_or("")
                               : tarFileExtension(tarCompression_);
    } else {
        if (splitMegabytes_ < 0 || splitMegabytes_ > largestSplitMegabytes) {
            setErrorMessage(ArchiveFailure::unsupported().message());
            return;
        }
        extension = lowercasedName(format);
        request.splitSize = splitMegabytes_ << 20;
    }

    std::string fileName;
    if (singleFile)
        fileName = paths::lastPathComponent(sources_.front());
    else
        fileName = archiveName_.empty() ? std::string("Archivo") : archiveName_;
    fileName += "." + extension;

    std::optional<Path> partsFolder;
    if (request.splitSize > 0) {
        OpenPanelRequest panel;
        panel.canChooseFiles = false;
        panel.canChooseDirectories = true;
        panel.allowsMultipleSelection = false;
        panel.message =
            "Se creará una carpeta nueva con todas las partes del " + rawValue(format) + ".";
        panel.prompt = "Guardar partes aquí";
        const auto chosen = dialogs_.runOpenPanel(panel);
        if (chosen.empty())
            return;
        if (bookmarks::startAccessing(chosen.front()))
            partsFolder = chosen.front();
        request.destination = chosen.front() / fileName;
    } else {
        SavePanelRequest panel;
        panel.nameFieldStringValue = fileName;
        panel.prompt = "Crear " + rawValue(format);
        panel.allowedContentTypes = {format == ArchiveFormat::zip ? std::string("zip")
                                                                  : paths::nameExtension(fileName)};
        const auto chosen = dialogs_.runSavePanel(panel);
        if (!chosen) {
            // The folder of a split creation never reaches this branch, so nothing to stop.
            return;
        }
        request.destination = *chosen;
    }
    const bool destinationAccessed = bookmarks::startAccessing(request.destination);

    request.rarProgram = resourceRARExecutable();
    if (!request.rarProgram)
        request.rarProgram = rarExecutableScope_;
    request.level = format == ArchiveFormat::sevenZip ? sevenZipLevel_ : rarLevel_;
    request.recoveryRecord = format == ArchiveFormat::rar && rarRecoveryRecord_;
    request.hideNames = hideNames_;
    request.selfExtracting = rarSelfExtracting_;
    request.sources = sources_;
    request.useCompression = useCompression_;
    request.tarCompression = tarCompression_;
    request.tarLevel = tarLevel_;
    request.singleFile = singleFile;

    const Path destination = request.destination;
    auto stopAccess = [destination, destinationAccessed, partsFolder] {
        if (destinationAccessed)
            bookmarks::stopAccessing(destination);
        if (partsFolder)
            bookmarks::stopAccessing(*partsFolder);
    };
    runOperation(
        "Creando " + paths::lastPathComponent(destination), Progress::make(0),
        [request](Progress& progress) { return createWithFormat(request, progress); },
        [this, format, stopAccess](Path written) {
            setCreationPassword({});
            setPasswordConfirmation({});
            recordSuccess(rawValue(format) + " creado correctamente", std::move(written));
            stopAccess();
        },
        [this, stopAccess](std::exception_ptr failure) {
            recordFailure(failure);
            stopAccess();
        });
}

} // namespace vexa
