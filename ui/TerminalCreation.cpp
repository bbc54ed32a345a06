// The create page on the terminal: the sources list, the settings it binds and its button.
#include "core/archive/ArchiveFormat.h"
#include "core/archive/TarCompression.h"
#include "platform/TextRules.h"
#include "ui/CommandHelp.h"
#include "ui/CommandWords.h"
#include "ui/TerminalSession.h"

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace vexa {

namespace {

const char* shown(bool value) {
    return value ? "sí" : "no";
}

constexpr ArchiveFormat formats[] = {ArchiveFormat::zip, ArchiveFormat::rar,
                                     ArchiveFormat::sevenZip, ArchiveFormat::tar};

std::optional<ArchiveFormat> parseFormat(const std::string& word) {
    for (auto format : formats)
        if (text::asciiLowercased(rawValue(format)) == text::asciiLowercased(word))
            return format;
    return std::nullopt;
}

// "a, b y c" (or with `last` another word before the last item).
std::string listed(const std::vector<std::string>& items, const std::string& last) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            text += i + 1 == items.size() ? last : ", ";
        text += items[i];
    }
    return text;
}

// A setting that some formats drop, named as the refusals name it.
struct Ability {
    bool CreationAbilities::*honoured;
    const char* name;
};
constexpr Ability passwordAbility{&CreationAbilities::password, "contraseña"};
constexpr Ability hiddenNamesAbility{&CreationAbilities::hiddenNames, "ocultar los nombres"};
constexpr Ability volumesAbility{&CreationAbilities::volumes, "dividir en partes"};

// "El TAR no admite contraseña (solo ZIP, RAR y 7z)."
std::string refusal(ArchiveFormat format, const Ability& ability) {
    std::vector<std::string> able;
    for (auto other : formats)
        if (WorkspaceModel::creationAbilities(other).*ability.honoured)
            able.push_back(rawValue(other));
    return "El " + rawValue(format) + " no admite " + ability.name + " (solo " +
           listed(able, " y ") + ").";
}

std::optional<TarCompression> parseTarCompression(const std::string& word) {
    const std::string lowered = text::asciiLowercased(word);
    if (lowered == "sin" || lowered == "ninguna")
        return TarCompression::none;
    for (auto compression :
         {TarCompression::gzip, TarCompression::bzip2, TarCompression::xz, TarCompression::zstd})
        if (text::asciiLowercased(rawValue(compression)) == lowered)
            return compression;
    return std::nullopt;
}

} // namespace

bool TerminalSession::dispatchCreation(const std::string& name,
                                       const std::vector<std::string>& words) {
    if (name == "crear") {
        if (model_.sources().empty() && !model_.isBusy())
            usage("No hay fuentes: añádelas con «anadir-fuente ruta…».");
        else
            model_.createArchive();
    } else if (name == "fuentes") {
        model_.showCreatePage();
        printCreationSettings();
    } else if (name == "quitar") {
        const auto number = words.size() == 2 ? parseNumber(words[1]) : std::nullopt;
        const auto& sources = model_.sources();
        if (!number || *number < 1 || *number > static_cast<std::int64_t>(sources.size()))
            usage("Uso: quitar n (n entre 1 y " + std::to_string(sources.size()) + ")");
        else
            model_.removeSource(Path(sources[static_cast<std::size_t>(*number - 1)]));
    } else if (name == "vaciar") {
        model_.clearSources();
    } else if (name == "ajustar") {
        if (words.size() != 3 && !(words.size() == 2 && words[1] == "nombre"))
            usage("Uso: ajustar opción valor (escribe «ayuda ajustar» para ver las opciones; un "
                  "valor con espacios va entre comillas)");
        else
            adjustSetting(plainWord(words[1]), words.size() == 3 ? words[2] : std::string());
    } else if (name == "programa-rar") {
        if (model_.chooseRarProgram() && model_.rarExecutableScope())
            messages_ << "Programa RAR: " << model_.rarExecutableScope()->string() << "\n";
    } else {
        return false;
    }
    return true;
}

void TerminalSession::adjustSetting(const std::string& option, const std::string& value) {
    const auto number = parseNumber(value);
    const auto on = yesOrNo(value);
    const bool numeric = option == "nivel" || option == "dividir";
    const bool boolean = option == "comprimir" || option == "archivo-unico" ||
                         option == "autoextraible" || option == "recuperacion" ||
                         option == "contrasena" || option == "ocultar-nombres";
    if ((numeric && !number) || (boolean && !on)) {
        usage("Valor no válido para " + option + ": " + value);
        return;
    }
    const ArchiveFormat current = model_.creationFormat();
    const CreationAbilities can = WorkspaceModel::creationAbilities(current);
    // What the format would drop is refused before anything is asked.
    const auto refused = [&](const Ability& ability, bool asked) {
        if (!asked || can.*ability.honoured)
            return false;
        usage(refusal(current, ability));
        return true;
    };
    if ((option == "contrasena" && refused(passwordAbility, *on)) ||
        (option == "ocultar-nombres" && refused(hiddenNamesAbility, *on)) ||
        (option == "dividir" && refused(volumesAbility, *number != 0)))
        return;
    if (option == "nivel" && can.level &&
        (*number < can.lowestLevel || *number > can.highestLevel)) {
        usage("Nivel no válido para el " + rawValue(current) + ": de " +
              std::to_string(can.lowestLevel) + " a " + std::to_string(can.highestLevel) + ".");
        return;
    }
    if (option == "formato") {
        const auto format = parseFormat(value);
        if (!format) {
            usage("Formatos: zip, rar, 7z, tar");
            return;
        }
        changeCreationFormat(*format);
    } else if (option == "nombre") {
        // The page shows the extension beside the name; typed again, it would be doubled.
        std::string name = value;
        const std::string suffix = text::asciiLowercased(model_.outputNameSuffix());
        if (!model_.singleFileMode() && name.size() > suffix.size() &&
            text::asciiLowercased(name).ends_with(suffix))
            name.resize(name.size() - suffix.size());
        model_.setArchiveName(name);
    } else if (option == "comprimir") {
        model_.setUseCompression(*on);
    } else if (option == "nivel") {
        switch (model_.creationFormat()) {
        case ArchiveFormat::sevenZip:
            model_.setSevenZipLevel(*number);
            break;
        case ArchiveFormat::tar:
            model_.setTarLevel(*number);
            break;
        case ArchiveFormat::rar:
            model_.setRarLevel(*number);
            break;
        case ArchiveFormat::zip:
            usage("El ZIP no tiene nivel: usa «ajustar comprimir si|no».");
            return;
        }
    } else if (option == "compresion-tar") {
        const auto compression = parseTarCompression(value);
        if (!compression) {
            usage("Compresiones: sin, gzip, bzip2, xz, zstd");
            return;
        }
        model_.setTarCompression(*compression);
    } else if (option == "archivo-unico") {
        model_.setTarSingleFile(*on);
    } else if (option == "autoextraible") {
        model_.setRarSelfExtracting(*on);
    } else if (option == "recuperacion") {
        model_.setRarRecoveryRecord(*on);
    } else if (option == "ocultar-nombres") {
        model_.setHideNames(*on);
    } else if (option == "dividir") {
        model_.setSplitMegabytes(*number);
    } else if (option == "contrasena") {
        if (*on) {
            // The two fields of the page: the creation checks that they match.
            const auto password = dialogs_.readLine("Contraseña: ", true);
            const auto confirmation =
                password ? dialogs_.readLine("Confirmar contraseña: ", true) : std::nullopt;
            if (!confirmation) {
                settle(Outcome::cancelled);
                return;
            }
            model_.setCreationPassword(*password);
            model_.setPasswordConfirmation(*confirmation);
        }
        model_.setProtectWithPassword(*on);
    } else {
        usage("Opción desconocida: " + option);
        return;
    }
    printCreationSettings();
}

void TerminalSession::changeCreationFormat(ArchiveFormat format) {
    const CreationAbilities can = WorkspaceModel::creationAbilities(format);
    std::vector<std::string> dropped;
    // Hidden names mean something only with a password.
    if (model_.protectWithPassword() && model_.hideNames() && !can.hiddenNames) {
        model_.setHideNames(false);
        dropped.push_back(hiddenNamesAbility.name);
    }
    if (model_.protectWithPassword() && !can.password) {
        model_.setProtectWithPassword(false);
        model_.setCreationPassword({});
        model_.setPasswordConfirmation({});
        dropped.insert(dropped.begin(), passwordAbility.name);
    }
    if (model_.splitMegabytes() != 0 && !can.volumes) {
        model_.setSplitMegabytes(0);
        dropped.push_back(volumesAbility.name);
    }
    model_.setCreationFormat(format);
    if (!dropped.empty())
        messages_ << "El " << rawValue(format) << " no admite " << listed(dropped, " ni ")
                  << (dropped.size() == 1 ? ": se ha quitado ese ajuste.\n"
                                          : ": se han quitado esos ajustes.\n");
}

void TerminalSession::printCreationSettings() {
    const ArchiveFormat format = model_.creationFormat();
    // In single-file mode the suffix stands for the whole name.
    out_ << "Crear: " << (model_.singleFileMode() ? "" : model_.archiveName())
         << model_.outputNameSuffix() << "\n";
    out_ << "  formato: " << rawValue(format) << "\n";
    switch (format) {
    case ArchiveFormat::zip:
        out_ << "  comprimir: " << shown(model_.useCompression()) << "\n";
        break;
    case ArchiveFormat::rar:
        out_ << "  nivel: " << model_.rarLevel() << "\n"
             << "  autoextraíble: " << shown(model_.rarSelfExtracting()) << "\n"
             << "  recuperación: " << shown(model_.rarRecoveryRecord()) << "\n";
        break;
    case ArchiveFormat::sevenZip:
        out_ << "  nivel: " << model_.sevenZipLevel() << "\n";
        break;
    case ArchiveFormat::tar:
        out_ << "  compresión-tar: " << rawValue(model_.tarCompression()) << "\n"
             << "  nivel: " << model_.tarLevel() << "\n"
             << "  archivo-único: " << shown(model_.tarSingleFile()) << "\n";
        break;
    }
    const CreationAbilities can = WorkspaceModel::creationAbilities(format);
    if (can.password)
        out_ << "  contraseña: " << shown(model_.protectWithPassword()) << "\n";
    if (can.hiddenNames)
        out_ << "  ocultar-nombres: " << shown(model_.hideNames()) << "\n";
    if (can.volumes)
        out_ << "  dividir: " << model_.splitMegabytes() << " MB\n";
    const auto& sources = model_.sources();
    out_ << "Fuentes:" << (sources.empty() ? " ninguna" : "") << "\n";
    for (std::size_t i = 0; i < sources.size(); ++i)
        out_ << "  " << i + 1 << ". " << sources[i].string() << "\n";
}

} // namespace vexa
