#pragma once

#include "core/archive/ArchiveEditor.h"
#include "core/archive/ArchiveEngine.h"
#include "core/archive/ArchiveFormat.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

// The one place that names the four formats: everything above the engines reaches a format
// through what these hand out.
namespace vexa {

// The format of a file, probed in the order 7z, TAR, RAR, falling back to ZIP.
ArchiveFormat detectArchiveFormat(const std::filesystem::path& archive);

// The engine for a file, chosen by detectArchiveFormat. The RAR and 7z engines get the
// password with exact matching off.
std::unique_ptr<ArchiveEngine> makeArchiveEngine(const std::filesystem::path& archive,
                                                 const std::optional<std::string>& password);

// The format's editor, holding the password that opens its archives (with exact matching off
// where the format has variants).
std::unique_ptr<ArchiveEditor> makeArchiveEditor(ArchiveFormat format,
                                                 const std::optional<std::string>& password);

// Wipes the keys the engines derived from passwords and keep between operations, so that a
// password the user no longer holds leaves nothing behind.
void forgetDerivedKeys();

} // namespace vexa
