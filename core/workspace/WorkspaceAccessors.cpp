#include "core/workspace/WorkspaceModel.h"
#include "engines/EngineFactory.h"

namespace vexa {

namespace {

// A password the model no longer holds leaves no key derived from it behind either.
void passwordGone() {
    forgetDerivedKeys();
}

} // namespace

// Equal values are stored without telling anyone, so observers redraw only on real changes.
template <typename T> void WorkspaceModel::update(WorkspaceField field, T& stored, T&& value) {
    if (stored == value) {
        stored = std::move(value);
        return;
    }
    stored = std::move(value);
    registrar_.didChange(field);
}

void WorkspaceModel::updateSecret(WorkspaceField field, std::string& stored, std::string&& value) {
    const bool changed = stored != value;
    if (changed && !stored.empty())
        passwordGone();
    secrets::wipe(stored);
    stored = std::move(value);
    secrets::wipe(value);
    passwordsChanged();
    if (changed)
        registrar_.didChange(field);
}

void WorkspaceModel::setArchivePassword(std::optional<std::string> value) {
    if (archivePassword_ && archivePassword_ != value)
        passwordGone();
    secrets::wipe(archivePassword_);
    archivePassword_ = std::move(value);
    passwordsChanged();
}

void WorkspaceModel::forgetArchivePassword() {
    if (archivePassword_)
        passwordGone();
    secrets::wipe(archivePassword_);
    passwordsChanged();
}

void WorkspaceModel::passwordsChanged() {
    const bool held =
        archivePassword_ || !creationPassword_.empty() || !passwordConfirmation_.empty();
    if (held && !passwordHold_)
        passwordHold_.emplace();
    else if (!held)
        passwordHold_.reset();
}

WorkspacePage WorkspaceModel::page() const {
    registrar_.access(WorkspaceField::page);
    return page_;
}

void WorkspaceModel::setPage(WorkspacePage value) {
    update(WorkspaceField::page, page_, std::move(value));
}

const std::optional<ArchiveSummary>& WorkspaceModel::archive() const {
    registrar_.access(WorkspaceField::archive);
    return archive_;
}

void WorkspaceModel::setArchive(std::optional<ArchiveSummary> value) {
    archive_ = std::move(value);
    notifyAlways(WorkspaceField::archive);
}

const std::set<std::string>& WorkspaceModel::selection() const {
    registrar_.access(WorkspaceField::selection);
    return selection_;
}

void WorkspaceModel::setSelection(std::set<std::string> value) {
    update(WorkspaceField::selection, selection_, std::move(value));
}

const std::string& WorkspaceModel::folder() const {
    registrar_.access(WorkspaceField::folder);
    return folder_;
}

void WorkspaceModel::setFolder(std::string value) {
    update(WorkspaceField::folder, folder_, std::move(value));
}

const std::string& WorkspaceModel::search() const {
    registrar_.access(WorkspaceField::search);
    return search_;
}

void WorkspaceModel::setSearch(std::string value) {
    update(WorkspaceField::search, search_, std::move(value));
}

const std::vector<WorkspaceModel::Path>& WorkspaceModel::sources() const {
    registrar_.access(WorkspaceField::sources);
    return sources_;
}

void WorkspaceModel::setSources(std::vector<Path> value) {
    update(WorkspaceField::sources, sources_, std::move(value));
}

bool WorkspaceModel::useCompression() const {
    registrar_.access(WorkspaceField::useCompression);
    return useCompression_;
}

void WorkspaceModel::setUseCompression(bool value) {
    update(WorkspaceField::useCompression, useCompression_, std::move(value));
}

std::int64_t WorkspaceModel::rarLevel() const {
    registrar_.access(WorkspaceField::rarLevel);
    return rarLevel_;
}

void WorkspaceModel::setRarLevel(std::int64_t value) {
    update(WorkspaceField::rarLevel, rarLevel_, std::move(value));
}

bool WorkspaceModel::rarSelfExtracting() const {
    registrar_.access(WorkspaceField::rarSelfExtracting);
    return rarSelfExtracting_;
}

void WorkspaceModel::setRarSelfExtracting(bool value) {
    update(WorkspaceField::rarSelfExtracting, rarSelfExtracting_, std::move(value));
}

bool WorkspaceModel::rarRecoveryRecord() const {
    registrar_.access(WorkspaceField::rarRecoveryRecord);
    return rarRecoveryRecord_;
}

void WorkspaceModel::setRarRecoveryRecord(bool value) {
    update(WorkspaceField::rarRecoveryRecord, rarRecoveryRecord_, std::move(value));
}

std::int64_t WorkspaceModel::sevenZipLevel() const {
    registrar_.access(WorkspaceField::sevenZipLevel);
    return sevenZipLevel_;
}

void WorkspaceModel::setSevenZipLevel(std::int64_t value) {
    update(WorkspaceField::sevenZipLevel, sevenZipLevel_, std::move(value));
}

TarCompression WorkspaceModel::tarCompression() const {
    registrar_.access(WorkspaceField::tarCompression);
    return tarCompression_;
}

void WorkspaceModel::setTarCompression(TarCompression value) {
    update(WorkspaceField::tarCompression, tarCompression_, std::move(value));
}

std::int64_t WorkspaceModel::tarLevel() const {
    registrar_.access(WorkspaceField::tarLevel);
    return tarLevel_;
}

void WorkspaceModel::setTarLevel(std::int64_t value) {
    update(WorkspaceField::tarLevel, tarLevel_, std::move(value));
}

bool WorkspaceModel::tarSingleFile() const {
    registrar_.access(WorkspaceField::tarSingleFile);
    return tarSingleFile_;
}

void WorkspaceModel::setTarSingleFile(bool value) {
    update(WorkspaceField::tarSingleFile, tarSingleFile_, std::move(value));
}

const std::string& WorkspaceModel::archiveName() const {
    registrar_.access(WorkspaceField::archiveName);
    return archiveName_;
}

void WorkspaceModel::setArchiveName(std::string value) {
    update(WorkspaceField::archiveName, archiveName_, std::move(value));
}

ArchiveFormat WorkspaceModel::creationFormat() const {
    registrar_.access(WorkspaceField::creationFormat);
    return creationFormat_;
}

void WorkspaceModel::setCreationFormat(ArchiveFormat value) {
    update(WorkspaceField::creationFormat, creationFormat_, std::move(value));
}

bool WorkspaceModel::protectWithPassword() const {
    registrar_.access(WorkspaceField::protectWithPassword);
    return protectWithPassword_;
}

void WorkspaceModel::setProtectWithPassword(bool value) {
    update(WorkspaceField::protectWithPassword, protectWithPassword_, std::move(value));
}

bool WorkspaceModel::hideNames() const {
    registrar_.access(WorkspaceField::hideNames);
    return hideNames_;
}

void WorkspaceModel::setHideNames(bool value) {
    update(WorkspaceField::hideNames, hideNames_, std::move(value));
}

const std::string& WorkspaceModel::creationPassword() const {
    registrar_.access(WorkspaceField::creationPassword);
    return creationPassword_;
}

void WorkspaceModel::setCreationPassword(std::string value) {
    updateSecret(WorkspaceField::creationPassword, creationPassword_, std::move(value));
}

const std::string& WorkspaceModel::passwordConfirmation() const {
    registrar_.access(WorkspaceField::passwordConfirmation);
    return passwordConfirmation_;
}

void WorkspaceModel::setPasswordConfirmation(std::string value) {
    updateSecret(WorkspaceField::passwordConfirmation, passwordConfirmation_, std::move(value));
}

std::int64_t WorkspaceModel::splitMegabytes() const {
    registrar_.access(WorkspaceField::splitMegabytes);
    return splitMegabytes_;
}

void WorkspaceModel::setSplitMegabytes(std::int64_t value) {
    update(WorkspaceField::splitMegabytes, splitMegabytes_, std::move(value));
}

const std::optional<WorkspaceModel::Path>& WorkspaceModel::previewURL() const {
    registrar_.access(WorkspaceField::previewURL);
    return previewURL_;
}

void WorkspaceModel::setPreviewURL(std::optional<Path> value) {
    update(WorkspaceField::previewURL, previewURL_, std::move(value));
}

bool WorkspaceModel::showInspector() const {
    registrar_.access(WorkspaceField::showInspector);
    return showInspector_;
}

void WorkspaceModel::setShowInspector(bool value) {
    update(WorkspaceField::showInspector, showInspector_, std::move(value));
}

bool WorkspaceModel::isBusy() const {
    registrar_.access(WorkspaceField::isBusy);
    return isBusy_;
}

void WorkspaceModel::setIsBusy(bool value) {
    update(WorkspaceField::isBusy, isBusy_, std::move(value));
}

const std::string& WorkspaceModel::operationTitle() const {
    registrar_.access(WorkspaceField::operationTitle);
    return operationTitle_;
}

void WorkspaceModel::setOperationTitle(std::string value) {
    update(WorkspaceField::operationTitle, operationTitle_, std::move(value));
}

double WorkspaceModel::fraction() const {
    registrar_.access(WorkspaceField::fraction);
    return fraction_;
}

void WorkspaceModel::setFraction(double value) {
    update(WorkspaceField::fraction, fraction_, std::move(value));
}

bool WorkspaceModel::isCancelling() const {
    registrar_.access(WorkspaceField::isCancelling);
    return isCancelling_;
}

void WorkspaceModel::setIsCancelling(bool value) {
    update(WorkspaceField::isCancelling, isCancelling_, std::move(value));
}

const std::optional<std::string>& WorkspaceModel::statusMessage() const {
    registrar_.access(WorkspaceField::statusMessage);
    return statusMessage_;
}

void WorkspaceModel::setStatusMessage(std::optional<std::string> value) {
    update(WorkspaceField::statusMessage, statusMessage_, std::move(value));
}

const std::optional<std::string>& WorkspaceModel::errorMessage() const {
    registrar_.access(WorkspaceField::errorMessage);
    return errorMessage_;
}

void WorkspaceModel::setErrorMessage(std::optional<std::string> value) {
    update(WorkspaceField::errorMessage, errorMessage_, std::move(value));
}

const std::optional<WorkspaceModel::Path>& WorkspaceModel::lastOutput() const {
    registrar_.access(WorkspaceField::lastOutput);
    return lastOutput_;
}

void WorkspaceModel::setLastOutput(std::optional<Path> value) {
    update(WorkspaceField::lastOutput, lastOutput_, std::move(value));
}

const std::vector<OperationRecord>& WorkspaceModel::records() const {
    registrar_.access(WorkspaceField::records);
    return records_;
}

void WorkspaceModel::setRecords(std::vector<OperationRecord> value) {
    records_ = std::move(value);
    notifyAlways(WorkspaceField::records);
}

const std::vector<RecentArchive>& WorkspaceModel::recents() const {
    registrar_.access(WorkspaceField::recents);
    return recents_;
}

void WorkspaceModel::setRecents(std::vector<RecentArchive> value) {
    update(WorkspaceField::recents, recents_, std::move(value));
}

bool WorkspaceModel::isDefaultApp() const {
    registrar_.access(WorkspaceField::isDefaultApp);
    return isDefaultApp_;
}

void WorkspaceModel::setIsDefaultApp(bool value) {
    update(WorkspaceField::isDefaultApp, isDefaultApp_, std::move(value));
}

} // namespace vexa
