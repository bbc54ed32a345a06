#pragma once

#include "core/archive/ArchiveEditor.h"

#include <optional>
#include <string>

namespace vexa {

// The editor of a format that takes a password: it holds the password the archive is opened
// with for as long as it lives, and wipes it when it goes.
class PasswordedArchiveEditor : public ArchiveEditor {
  public:
    explicit PasswordedArchiveEditor(std::optional<std::string> password);
    ~PasswordedArchiveEditor() override;
    PasswordedArchiveEditor(const PasswordedArchiveEditor&) = delete;
    PasswordedArchiveEditor& operator=(const PasswordedArchiveEditor&) = delete;

  protected:
    const std::optional<std::string>& password() const { return password_; }

  private:
    std::optional<std::string> password_;
};

} // namespace vexa
