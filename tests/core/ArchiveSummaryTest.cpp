#include "core/archive/ArchiveSummary.h"

#include "core/archive/OperationRecord.h"
#include "tests/core/ScopedRarLocations.h"
#include "tests/support/TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <unordered_set>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using vexa::testing::ScopedRarLocations;
using vexa::testing::TemporaryDirectory;

ArchiveSummary summary(ArchiveFormat format) {
    ArchiveSummary result;
    result.url = "/data/copia";
    result.format = format;
    result.volumes = {"/data/copia"};
    return result;
}

// A rar program in a folder of its own, or none at all.
class RarProgram {
  public:
    explicit RarProgram(bool present) {
        RarLocations locations;
        locations.resourcesDirectory = folder_.path();
        locations.fixedCandidates = {};
        if (present) {
            vexa::testing::writeFile(folder_ / "rar", "#!/bin/sh\n");
            fs::permissions(folder_ / "rar", fs::perms::owner_all);
        }
        scope_.emplace(std::move(locations));
    }

  private:
    TemporaryDirectory folder_;
    std::optional<ScopedRarLocations> scope_;
};

TEST(ArchiveSummaryEditable, SplitSingleAndAndroidArchivesAreReadOnly) {
    RarProgram rar(true);
    for (auto format :
         {ArchiveFormat::zip, ArchiveFormat::rar, ArchiveFormat::sevenZip, ArchiveFormat::tar}) {
        ArchiveSummary plain = summary(format);
        EXPECT_TRUE(plain.isEditable()) << rawValue(format);

        ArchiveSummary split = plain;
        split.volumes = {"/data/copia.part1", "/data/copia.part2"};
        EXPECT_FALSE(split.isEditable()) << rawValue(format);

        ArchiveSummary noVolumes = plain;
        noVolumes.volumes.clear();
        EXPECT_TRUE(noVolumes.isEditable()) << rawValue(format);

        ArchiveSummary single = plain;
        single.singleFile = true;
        EXPECT_FALSE(single.isEditable()) << rawValue(format);
    }
    ArchiveSummary zip = summary(ArchiveFormat::zip);
    for (auto kind : {JavaArchive::jar, JavaArchive::aar, JavaArchive::war, JavaArchive::ear}) {
        zip.java = kind;
        EXPECT_TRUE(zip.isEditable()) << rawValue(kind);
        zip.isSigned = true; // the signature warning is asked elsewhere
        EXPECT_TRUE(zip.isEditable()) << rawValue(kind);
    }
    for (auto kind : {JavaArchive::apk, JavaArchive::aab}) {
        zip.java = kind;
        zip.isSigned = false;
        EXPECT_FALSE(zip.isEditable()) << rawValue(kind);
    }
}

TEST(ArchiveSummaryEditable, ARARNeedsTheRarProgramAtTheMomentOfAsking) {
    const ArchiveSummary rarSummary = summary(ArchiveFormat::rar);
    {
        RarProgram none(false);
        EXPECT_FALSE(rarSummary.isEditable());
        EXPECT_TRUE(summary(ArchiveFormat::zip).isEditable());
        EXPECT_TRUE(summary(ArchiveFormat::tar).isEditable());
        EXPECT_TRUE(summary(ArchiveFormat::sevenZip).isEditable());
    }
    {
        RarProgram present(true);
        EXPECT_TRUE(rarSummary.isEditable());
    }
}

TEST(ArchiveSummaryKindLabel, JavaKindThenBareCompressionThenFormat) {
    for (auto format :
         {ArchiveFormat::zip, ArchiveFormat::rar, ArchiveFormat::sevenZip, ArchiveFormat::tar})
        EXPECT_EQ(summary(format).kindLabel(), rawValue(format));
    EXPECT_EQ(summary(ArchiveFormat::sevenZip).kindLabel(), "7z");

    ArchiveSummary tar = summary(ArchiveFormat::tar);
    tar.compression = TarCompression::gzip;
    EXPECT_EQ(tar.kindLabel(), "TAR"); // a compressed TAR is still a TAR
    tar.singleFile = true;
    const std::vector<std::pair<TarCompression, std::string>> bare = {
        {TarCompression::none, "Sin comprimir"}, {TarCompression::gzip, "GZIP"},
        {TarCompression::bzip2, "BZIP2"},        {TarCompression::xz, "XZ"},
        {TarCompression::zstd, "ZSTD"},
    };
    for (const auto& [compression, label] : bare) {
        tar.compression = compression;
        EXPECT_EQ(tar.kindLabel(), label);
    }
    tar.compression.reset();
    EXPECT_EQ(tar.kindLabel(), "TAR");

    ArchiveSummary apk = summary(ArchiveFormat::zip);
    apk.java = JavaArchive::apk;
    apk.singleFile = true;
    apk.compression = TarCompression::gzip;
    EXPECT_EQ(apk.kindLabel(), "APK");
}

TEST(ArchiveFormatRawValue, MatchesExactlyAndCaseSensitively) {
    const std::vector<std::pair<ArchiveFormat, std::string>> rows = {
        {ArchiveFormat::zip, "ZIP"},
        {ArchiveFormat::rar, "RAR"},
        {ArchiveFormat::sevenZip, "7z"},
        {ArchiveFormat::tar, "TAR"},
    };
    for (const auto& [format, raw] : rows) {
        EXPECT_EQ(rawValue(format), raw);
        EXPECT_EQ(archiveFormatFromRawValue(raw), format);
    }
    for (const char* other : {"zip", "7Z", "tar", " ZIP", "", "GZIP"})
        EXPECT_EQ(archiveFormatFromRawValue(other), std::nullopt) << other;
}

TEST(ArchiveItemIdentity, AllFiveFieldsTakePart) {
    const ArchiveItem base{"a/b.txt", 10, 4, false, false};
    std::vector<ArchiveItem> variants(5, base);
    variants[1].path = "a/B.txt";
    variants[2].size = 4;
    variants[2].compressedSize = 10;
    variants[3].isDirectory = true;
    variants[4].isEncrypted = true;
    std::unordered_set<ArchiveItem> set(variants.begin(), variants.end());
    EXPECT_EQ(set.size(), variants.size());
    EXPECT_TRUE(set.contains(ArchiveItem{"a/b.txt", 10, 4, false, false}));
    EXPECT_EQ(std::hash<ArchiveItem>{}(base), std::hash<ArchiveItem>{}(variants[0]));
    EXPECT_EQ(base.id(), "a/b.txt");
}

TEST(OperationRecordMake, GivesEveryRecordItsOwnIdentityAndTime) {
    const auto before = std::chrono::system_clock::now();
    const OperationRecord first = OperationRecord::make("Extrayendo", "Listo", "/tmp/x", true);
    const OperationRecord second = OperationRecord::make("Extrayendo", "Listo", "/tmp/x", true);
    EXPECT_NE(first.id, second.id);
    EXPECT_EQ(first.id.size(), 36u);
    EXPECT_GE(first.date, before);
    EXPECT_LE(first.date, second.date);
    EXPECT_EQ(first.title, "Extrayendo");
    EXPECT_EQ(first.detail, "Listo");
    EXPECT_EQ(first.output, fs::path("/tmp/x"));
    EXPECT_TRUE(first.succeeded);
    const OperationRecord failed = OperationRecord::make("Abriendo", "Error", std::nullopt, false);
    EXPECT_FALSE(failed.output);
    EXPECT_FALSE(failed.succeeded);
}

} // namespace
} // namespace vexa
