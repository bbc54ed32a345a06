#include "core/archive/JavaArchive.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace vexa {
namespace {

using vexa::testing::TemporaryDirectory;

TEST(JavaArchiveKind, ComesFromTheExtensionInAnyCase) {
    const std::vector<std::pair<std::string, std::optional<JavaArchive>>> rows = {
        {"/x/app.jar", JavaArchive::jar},
        {"/x/App.JAR", JavaArchive::jar},
        {"/x/lib.aar", JavaArchive::aar},
        {"/x/site.War", JavaArchive::war},
        {"/x/suite.ear", JavaArchive::ear},
        {"/x/app.apk", JavaArchive::apk},
        {"/x/app.aab", JavaArchive::aab},
        {"/x/app.zip", std::nullopt},
        {"/x/jar", std::nullopt},
        {"/x/app.jar.zip", std::nullopt},
        {"/x/app.jarx", std::nullopt},
        {"/x/app.", std::nullopt},
        {"/x/app.apk.jar", JavaArchive::jar},
    };
    for (const auto& [location, kind] : rows)
        EXPECT_EQ(javaArchive(location), kind) << location;
}

TEST(JavaArchiveKind, OnlyAndroidPackagesAreReadOnly) {
    EXPECT_TRUE(isEditableJavaKind(std::nullopt));
    for (auto kind : {JavaArchive::jar, JavaArchive::aar, JavaArchive::war, JavaArchive::ear})
        EXPECT_TRUE(isEditableJavaKind(kind)) << rawValue(kind);
    EXPECT_FALSE(isEditableJavaKind(JavaArchive::apk));
    EXPECT_FALSE(isEditableJavaKind(JavaArchive::aab));
}

TEST(SignedJavaArchive, LooksForSignatureFilesDirectlyInMetaInf) {
    const std::vector<std::pair<std::string, bool>> rows = {
        {"META-INF/CERT.RSA", true},
        {"META-INF/CERT.SF", true},
        {"META-INF/KEY.DSA", true},
        {"META-INF/KEY.EC", true},
        {"meta-inf/cert.rsa", true},
        {"/META-INF//CERT.RSA", true},
        {"META-INF/A.B.sf", true},
        {"META-INF/MANIFEST.MF", false},
        {"META-INF/sub/CERT.RSA", false},
        {"META-INF/A.RSA/B.txt", false},
        {"x/META-INF/CERT.RSA", false},
        {"CERT.RSA", false},
        {"META-INF/RSA", false},
        {"META-INF/CERT.RSA.bak", false},
        {"META-INF/", false},
    };
    for (const auto& [path, isSigned] : rows) {
        const std::vector<ArchiveItem> entries = {{"a/Main.class", 1, 1, false, false},
                                                  {path, 1, 1, false, false}};
        EXPECT_EQ(isSignedJavaArchive(entries), isSigned) << path;
    }
    EXPECT_FALSE(isSignedJavaArchive({}));
}

TEST(ZIPSignature, RecognisesArchivesWrittenByOtherTools) {
    TemporaryDirectory folder;
    vexa::testing::writeFile(folder / "a.txt", "hola");
    vexa::testing::runChecked("zip -q infozip.zip a.txt", folder.path());
    vexa::testing::runChecked(
        "python3 -c \"import zipfile; zipfile.ZipFile('empty.aar', 'w').close()\"", folder.path());
    vexa::testing::runChecked("bsdtar --format zip -cf bsd.jar a.txt", folder.path());
    EXPECT_TRUE(hasZIPSignature(folder / "infozip.zip"));
    EXPECT_TRUE(hasZIPSignature(folder / "empty.aar"));
    EXPECT_TRUE(hasZIPSignature(folder / "bsd.jar"));
}

TEST(ZIPSignature, AnythingElseIsNotAZIP) {
    TemporaryDirectory folder;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"empty.aar", ""},
        {"short.aar", std::string("PK\x03", 3)},
        {"spanned.zip", std::string("PK\x07\x08PK\x03\x04", 8)},
        {"apple.aar", std::string("AA01\x00\x00", 6)},
        {"central.zip", std::string("PK\x01\x02", 4)},
    };
    for (const auto& [name, bytes] : files) {
        vexa::testing::writeFile(folder / name, bytes);
        EXPECT_FALSE(hasZIPSignature(folder / name)) << name;
    }
    EXPECT_FALSE(hasZIPSignature(folder / "missing.aar"));
    EXPECT_FALSE(hasZIPSignature(folder.path()));
    vexa::testing::runChecked("mkfifo pipe.aar", folder.path());
    EXPECT_FALSE(hasZIPSignature(folder / "pipe.aar"));
}

} // namespace
} // namespace vexa
