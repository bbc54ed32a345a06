#include "core/workspace/WorkspaceModel.h"
#include "platform/TextRules.h"

#include <array>

namespace vexa {

namespace {

// Each archive kind's MIME type; where shared-mime-info renamed a type, the newer name comes
// first so that the canonical one of the installed database is used.
const std::array<std::vector<std::string>, 10> otherArchiveTypes = {{
    {"application/vnd.rar", "application/x-rar"},
    {"application/x-7z-compressed"},
    {"application/x-tar"},
    {"application/gzip"},
    {"application/x-compressed-tar"},
    {"application/x-bzip2", "application/x-bzip"},
    {"application/x-bzip2-compressed-tar", "application/x-bzip-compressed-tar"},
    {"application/x-xz"},
    {"application/x-xz-compressed-tar"},
    {"application/zstd"},
}};

const std::string zipType = "application/zip";

// How a type is named in the message of a failed registration.
std::string failureName(const ContentType& type) {
    return text::uppercased(type.preferredFilenameExtension.empty()
                                ? type.identifier
                                : type.preferredFilenameExtension);
}

bool opensWith(const DesktopIntegration& desktop, const ContentType& type) {
    const auto opener = desktop.queryDefault(type.identifier);
    return opener && *opener == desktop.desktopId;
}

} // namespace

const std::vector<ContentType>& WorkspaceModel::handledContentTypes() {
    if (handledContentTypes_)
        return *handledContentTypes_;
    std::vector<ContentType> types;
    // ZIP is always offered; its extension is known even without a database entry.
    auto zip = desktop_.knownContentType(zipType);
    types.push_back(zip ? *zip : ContentType{zipType, "zip"});
    for (const auto& candidates : otherArchiveTypes) {
        for (const auto& mimeType : candidates) {
            if (auto known = desktop_.knownContentType(mimeType)) {
                types.push_back(std::move(*known));
                break;
            }
        }
    }
    handledContentTypes_ = std::move(types);
    return *handledContentTypes_;
}

bool WorkspaceModel::opensByDefault(const ContentType& type) const {
    return opensWith(desktop_, type);
}

void WorkspaceModel::isDefaultApplication(std::function<void(bool)> then) {
    // Every query starts the desktop tool (about a tenth of a second each), so the main thread
    // only hands the questions over and stores the answer.
    const std::uint64_t check = ++defaultAppChecks_;
    auto answer = std::make_shared<bool>(true);
    std::weak_ptr<int> alive = lifetime_;
    loop_.runInBackground(
        [desktop = desktop_, types = handledContentTypes(), answer] {
            for (const auto& type : types) {
                if (!opensWith(desktop, type)) {
                    *answer = false;
                    break;
                }
            }
        },
        [this, alive, check, answer, then = std::move(then)](std::exception_ptr error) {
            if (alive.expired())
                return;
            const bool result = !error && *answer;
            // A start-up check that answers after a registration must not undo its result.
            if (check == defaultAppChecks_)
                setIsDefaultApp(result);
            if (then)
                then(result);
        });
}

void WorkspaceModel::registerAsDefaultApp(std::function<void()> finished) {
    // A registration that does not take effect leaves the user's associations as they were.
    auto before =
        std::make_shared<DesktopIntegration::AssociationFiles>(desktop_.readAssociations());
    auto failed = std::make_shared<std::vector<std::string>>();
    auto restoring = [this, before, failed, finished = std::move(finished)] {
        if (!failed->empty() || !isDefaultApp_)
            desktop_.restoreAssociations(*before);
        if (finished)
            finished();
    };
    if (auto obstacle = desktop_.makeDesktopFileVisible()) {
        // Without its desktop file the desktop cannot open anything with the program: every
        // request would be written and then ignored.
        for (const auto& type : handledContentTypes())
            failed->push_back(failureName(type));
        registerNext(handledContentTypes().size(), failed, std::move(obstacle),
                     std::move(restoring));
        return;
    }
    registerNext(0, failed, std::nullopt, std::move(restoring));
}

void WorkspaceModel::registerNext(std::size_t index,
                                  std::shared_ptr<std::vector<std::string>> failed,
                                  std::optional<std::string> obstacle,
                                  std::function<void()> finished) {
    const auto& types = handledContentTypes();
    if (index < types.size()) {
        const ContentType type = types[index];
        auto succeeded = std::make_shared<bool>(false);
        std::weak_ptr<int> alive = lifetime_;
        // One request at a time: the next is sent only after this one has answered.
        loop_.runInBackground([desktop = desktop_, type,
                               succeeded] { *succeeded = desktop.setDefault(type.identifier); },
                              [this, alive, index, type, succeeded, failed,
                               finished = std::move(finished)](std::exception_ptr error) mutable {
                                  if (alive.expired())
                                      return;
                                  if (error || !*succeeded)
                                      failed->push_back(failureName(type));
                                  registerNext(index + 1, failed, std::nullopt,
                                               std::move(finished));
                              });
        return;
    }

    isDefaultApplication([this, failed, obstacle = std::move(obstacle),
                          finished = std::move(finished)](bool isDefault) {
        if (failed->empty() && isDefault) {
            setStatusMessage("Vexa abrirá los archivos ZIP, RAR, 7z y TAR");
        } else {
            std::string names;
            if (failed->empty()) {
                names = "ZIP, RAR, 7z y TAR";
            } else {
                for (std::size_t i = 0; i < failed->size(); ++i)
                    names += (i ? " y " : "") + (*failed)[i];
            }
            // The second line says why, where the first only says what.
            std::string why;
            if (obstacle)
                why = *obstacle;
            else if (failed->empty())
                why = "xdg-mime aceptó el cambio, pero el escritorio sigue abriendo alguno de "
                      "esos tipos con otra aplicación.";
            else if (!desktop_.toolFound())
                why = "No se encontró xdg-mime (del paquete xdg-utils), que registra las "
                      "asociaciones.";
            else
                why = "xdg-mime no aceptó el cambio para esos tipos.";
            setErrorMessage(
                "No se cambió la app predeterminada para " + names +
                ". Puedes hacerlo en el gestor de archivos: Propiedades › Abrir con › Establecer "
                "como predeterminada.\n" +
                why);
        }
        if (finished)
            finished();
    });
}

} // namespace vexa
