#pragma once

#include <stdexcept>
#include <string>

namespace vexa {

// The one failure type of the engines and the model. Cases 0 to 11 carry a text payload,
// the others none; what() is the Spanish user message.
class ArchiveFailure : public std::exception {
  public:
    enum class Case {
        unsafePath,
        symbolicLink,
        duplicate,
        corrupt,
        missingVolume,
        rarFailure,
        rarCreation,
        rarEdit,
        conflict,
        sevenZipFailure,
        tarFailure,
        unsupportedTar,
        unsupported,
        emptySelection,
        passwordRequired,
        wrongPassword,
        previewTooLarge,
        splitEditing,
        readOnlyRAR,
        unsupportedRAR,
        notFirstVolume,
        sourceIsArchive,
        archiveChanged,
        unsupported7z,
        readOnlySingle,
        readOnlyAndroid,
        appleArchive,
    };

    // Payload cases.
    static ArchiveFailure unsafePath(std::string path) {
        return {Case::unsafePath, std::move(path)};
    }
    static ArchiveFailure symbolicLink(std::string path) {
        return {Case::symbolicLink, std::move(path)};
    }
    static ArchiveFailure duplicate(std::string path) { return {Case::duplicate, std::move(path)}; }
    static ArchiveFailure corrupt(std::string detail) { return {Case::corrupt, std::move(detail)}; }
    static ArchiveFailure missingVolume(std::string name) {
        return {Case::missingVolume, std::move(name)};
    }
    static ArchiveFailure rarFailure(std::string detail) {
        return {Case::rarFailure, std::move(detail)};
    }
    static ArchiveFailure rarCreation(std::string detail) {
        return {Case::rarCreation, std::move(detail)};
    }
    static ArchiveFailure rarEdit(std::string detail) { return {Case::rarEdit, std::move(detail)}; }
    static ArchiveFailure conflict(std::string name) { return {Case::conflict, std::move(name)}; }
    static ArchiveFailure sevenZipFailure(std::string detail) {
        return {Case::sevenZipFailure, std::move(detail)};
    }
    static ArchiveFailure tarFailure(std::string detail) {
        return {Case::tarFailure, std::move(detail)};
    }
    static ArchiveFailure unsupportedTar(std::string detail) {
        return {Case::unsupportedTar, std::move(detail)};
    }

    // Cases without payload: ArchiveFailure(ArchiveFailure::Case::wrongPassword), or the helpers.
    explicit ArchiveFailure(Case kind);
    static ArchiveFailure unsupported() { return ArchiveFailure(Case::unsupported); }
    static ArchiveFailure emptySelection() { return ArchiveFailure(Case::emptySelection); }
    static ArchiveFailure passwordRequired() { return ArchiveFailure(Case::passwordRequired); }
    static ArchiveFailure wrongPassword() { return ArchiveFailure(Case::wrongPassword); }
    static ArchiveFailure previewTooLarge() { return ArchiveFailure(Case::previewTooLarge); }
    static ArchiveFailure splitEditing() { return ArchiveFailure(Case::splitEditing); }
    static ArchiveFailure readOnlyRAR() { return ArchiveFailure(Case::readOnlyRAR); }
    static ArchiveFailure unsupportedRAR() { return ArchiveFailure(Case::unsupportedRAR); }
    static ArchiveFailure notFirstVolume() { return ArchiveFailure(Case::notFirstVolume); }
    static ArchiveFailure sourceIsArchive() { return ArchiveFailure(Case::sourceIsArchive); }
    static ArchiveFailure archiveChanged() { return ArchiveFailure(Case::archiveChanged); }
    static ArchiveFailure unsupported7z() { return ArchiveFailure(Case::unsupported7z); }
    static ArchiveFailure readOnlySingle() { return ArchiveFailure(Case::readOnlySingle); }
    static ArchiveFailure readOnlyAndroid() { return ArchiveFailure(Case::readOnlyAndroid); }
    static ArchiveFailure appleArchive() { return ArchiveFailure(Case::appleArchive); }

    // Any case; the payload is dropped for the cases that carry none.
    static ArchiveFailure make(Case kind, std::string payload = {});

    Case kind() const { return case_; }
    // Empty for the cases without payload.
    const std::string& payload() const { return payload_; }
    static bool hasPayload(Case kind) { return static_cast<int>(kind) <= 11; }

    // The Spanish user message.
    const std::string& message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    // Same case and, for payload cases, equal payloads.
    bool operator==(const ArchiveFailure& other) const;

  private:
    ArchiveFailure(Case kind, std::string payload);
    Case case_;
    std::string payload_;
    std::string message_;
};

} // namespace vexa
