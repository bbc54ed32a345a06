// A small demonstration of the archive model until the terminal front-end takes its place.
#include "core/archive/ArchiveFailure.h"
#include "core/archive/ArchiveSummary.h"
#include "core/archive/JavaArchive.h"
#include "core/archive/RarLocator.h"
#include "core/archive/TarCompression.h"
#include "platform/Paths.h"
#include "platform/TextRules.h"

#include <cstring>
#include <filesystem>
#include <iostream>
#include <vector>

namespace {

using namespace vexa;

// The kind told by the name alone, as the open panel would; nothing is read from the file.
std::optional<ArchiveSummary> summaryByName(const std::filesystem::path& location) {
    ArchiveSummary summary;
    summary.url = location;
    summary.volumes = {location};
    const std::string extension = text::lowercased(paths::pathExtension(location));
    if (auto compression = detectTarCompression(location)) {
        summary.format = ArchiveFormat::tar;
        summary.compression = compression;
        const std::string suffix = tarSuffix(location).value_or("");
        summary.singleFile = suffix != ".tar" && !suffix.starts_with(".t");
    } else if (extension == "zip" || javaArchive(location)) {
        summary.format = ArchiveFormat::zip;
        summary.java = javaArchive(location);
    } else if (extension == "rar") {
        summary.format = ArchiveFormat::rar;
    } else if (extension == "7z") {
        summary.format = ArchiveFormat::sevenZip;
    } else {
        return std::nullopt;
    }
    return summary;
}

void describe(const std::filesystem::path& location) {
    std::cout << "  " << paths::lastPathComponent(location) << ": ";
    const auto summary = summaryByName(location);
    if (!summary) {
        std::cout << "no parece un archivo comprimido que Vexa abra.\n";
        return;
    }
    std::cout << summary->kindLabel();
    if (summary->singleFile)
        std::cout << ", archivo comprimido suelto";
    else if (summary->compression)
        std::cout << ", compresión " << rawValue(*summary->compression);
    std::error_code unreachable;
    if (summary->java == JavaArchive::aar && std::filesystem::exists(location, unreachable) &&
        !hasZIPSignature(location))
        std::cout << ". " << ArchiveFailure::appleArchive().message() << "\n";
    else
        std::cout << (summary->isEditable() ? ", se puede editar.\n" : ", solo lectura.\n");
}

void listMessages() {
    std::cout << "Mensajes de error (con «ejemplo» donde va el dato):\n";
    for (int i = 0; i <= static_cast<int>(ArchiveFailure::Case::appleArchive); ++i) {
        const auto kind = static_cast<ArchiveFailure::Case>(i);
        std::cout << "  " << i << ". " << ArchiveFailure::make(kind, "ejemplo").message() << "\n";
        if (kind == ArchiveFailure::Case::unsupportedTar)
            std::cout << "  " << i << ". " << ArchiveFailure::make(kind).message() << "\n";
    }
}

} // namespace

int main(int argc, char** argv) {
    std::cout << "Vexa: gestor de archivos comprimidos ZIP, RAR, 7z y TAR.\n"
                 "Esta demostración reconoce el tipo de cada archivo por su nombre; la interfaz "
                 "completa llegará pronto.\n";
    if (const auto rar = locateRARExecutable())
        std::cout << "Programa rar: " << rar->string() << "\n";
    else
        std::cout << "Programa rar: no encontrado (los RAR solo se podrán leer).\n";

    std::vector<std::filesystem::path> locations;
    bool messages = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--mensajes") == 0)
            messages = true;
        else
            locations.emplace_back(argv[i]);
    }
    if (locations.empty() && !messages)
        std::cout << "Uso: vexa [--mensajes] [archivo…]\n";
    for (const auto& location : locations)
        describe(location);
    if (messages)
        listMessages();
    return 0;
}
