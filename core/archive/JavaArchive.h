#pragma once

#include "core/archive/ArchiveItem.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vexa {

enum class JavaArchive { jar, aar, war, ear, apk, aab };

// "JAR", "AAR", "WAR", "EAR", "APK", "AAB": also their kind labels.
const std::string& rawValue(JavaArchive kind);
std::optional<JavaArchive> javaArchiveFromRawValue(const std::string& raw);
// The kind told by the file name's extension, lower-cased.
std::optional<JavaArchive> javaArchive(const std::filesystem::path& location);

const std::set<std::string>& javaExtensions();
bool isEditableJavaKind(std::optional<JavaArchive> kind);
bool isSignedJavaArchive(const std::vector<ArchiveItem>& entries);
// The first four bytes are a ZIP local header or end record; every failure gives false.
bool hasZIPSignature(const std::filesystem::path& location);

} // namespace vexa
