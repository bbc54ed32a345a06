// A small demonstration of what stands so far (the archive model and the four engines) until the
// terminal front-end takes its place: it lists archives and extracts them.
#include "core/archive/ArchiveFailure.h"
#include "core/archive/ArchiveSummary.h"
#include "core/archive/RarLocator.h"
#include "engines/EngineFactory.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"
#include "platform/Progress.h"

#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace vexa;

struct Options {
    std::vector<std::filesystem::path> archives;
    std::optional<std::string> password;
    std::optional<std::filesystem::path> destination;
    bool messages = false;
};

void show(const ArchiveSummary& summary) {
    std::cout << paths::lastPathComponent(summary.url) << ": " << summary.kindLabel();
    if (summary.compression && !summary.singleFile)
        std::cout << ", compresión " << rawValue(*summary.compression);
    if (summary.volumes.size() > 1)
        std::cout << ", " << summary.volumes.size() << " partes";
    std::cout << ", " << summary.entries.size() << " elementos, "
              << (summary.isEditable() ? "se puede editar" : "solo lectura") << "\n";
    for (const auto& entry : summary.entries) {
        std::cout << "  " << (entry.isEncrypted ? "* " : "  ") << entry.path;
        if (!entry.isDirectory)
            std::cout << "  (" << entry.size << " bytes)";
        std::cout << "\n";
    }
}

// Lists one archive and, when asked, extracts all of it; failures are shown, not fatal.
bool process(const std::filesystem::path& archive, const Options& options) {
    try {
        auto engine = makeArchiveEngine(archive, options.password);
        Progress listing;
        show(engine->list(archive, listing));
        if (options.destination) {
            Progress extraction;
            const auto result = engine->extract(archive, {}, *options.destination, extraction);
            std::cout << "Extraído en " << result.string() << "\n";
        }
        return true;
    } catch (const std::exception& failure) {
        std::cout << paths::lastPathComponent(archive) << ": " << failure.what() << "\n";
        return false;
    }
}

void listMessages() {
    for (int i = 0; i <= static_cast<int>(ArchiveFailure::Case::appleArchive); ++i) {
        const auto kind = static_cast<ArchiveFailure::Case>(i);
        std::cout << "  " << i << ". " << ArchiveFailure::make(kind, "ejemplo").message() << "\n";
        if (kind == ArchiveFailure::Case::unsupportedTar)
            std::cout << "  " << i << ". " << ArchiveFailure::make(kind).message() << "\n";
    }
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--mensajes") == 0)
            options.messages = true;
        else if (std::strcmp(argv[i], "--contraseña") == 0 && hasValue)
            options.password = argv[++i];
        else if (std::strcmp(argv[i], "--extraer") == 0 && hasValue)
            options.destination = argv[++i];
        else
            options.archives.emplace_back(argv[i]);
    }
    std::cout << "Vexa: gestor de archivos comprimidos ZIP, RAR, 7z y TAR (demostración).\n";
    if (const auto rar = locateRARExecutable())
        std::cout << "Programa rar: " << rar->string() << "\n";
    else
        std::cout << "Programa rar: no encontrado (los RAR solo se podrán leer).\n";
    if (options.archives.empty() && !options.messages)
        std::cout << "Uso: vexa [--contraseña CLAVE] [--extraer CARPETA] [--mensajes] "
                     "[archivo…]\n";
    bool allRead = true;
    for (const auto& archive : options.archives)
        allRead = process(archive, options) && allRead;
    if (options.messages)
        listMessages();
    return allRead ? 0 : 1;
}
