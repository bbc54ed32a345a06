#include "core/archive/PasswordedArchiveEditor.h"

#include "platform/Secrets.h"

namespace vexa {

PasswordedArchiveEditor::PasswordedArchiveEditor(std::optional<std::string> password)
    : password_(std::move(password)) {}

PasswordedArchiveEditor::~PasswordedArchiveEditor() {
    secrets::wipe(password_);
}

} // namespace vexa
