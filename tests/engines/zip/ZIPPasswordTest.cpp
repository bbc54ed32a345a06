// Encrypted archives from Info-ZIP zip (ZipCrypto) and bsdtar (WinZip AES-128 and AES-256):
// password resolution over the typed password's forms, the password check, and damaged data.
#include "ZIPTestSupport.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using Case = ArchiveFailure::Case;
using namespace ziptest;

const std::string cafeNFC = "caf\xC3\xA9";
const std::string cafeNFD = "cafe\xCC\x81";

class ZIPPasswordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "in");
        std::filesystem::create_directories(dir / "dest");
        writeFile(dir / "in/text.txt", sampleBytes(120000, 11, true));
        writeFile(dir / "in/noise.bin", sampleBytes(40000, 12, false));
        writeFile(dir / "in/small.txt", "ten bytes!");
    }

    void zipWithPassword(const std::string& archive, const std::string& passwordBytes,
                         const std::string& options = "",
                         const std::string& files = "text.txt noise.bin small.txt") {
        runChecked("zip -q " + options + " -P " + shellQuote(passwordBytes) + " ../" + archive +
                       " " + files,
                   dir / "in");
    }
    void bsdtarWithPassword(const std::string& archive, const std::string& passwordBytes,
                            const std::string& options) {
        runChecked("bsdtar --format zip --options " + options + " --passphrase " +
                       shellQuote(passwordBytes) + " -cf ../" + archive +
                       " text.txt noise.bin small.txt",
                   dir / "in");
    }

    ArchiveSummary listed(const std::string& archive) {
        Progress progress;
        return ZIPArchiveEngine().list(dir / archive, progress);
    }
    std::filesystem::path extractWith(std::optional<std::string> password,
                                      const std::string& archive) {
        Progress progress;
        return ZIPArchiveEngine(std::move(password))
            .extract(dir / archive, {}, dir / "dest", progress);
    }
    void expectUntouchedDestination() {
        EXPECT_TRUE(std::filesystem::is_empty(dir / "dest"));
        EXPECT_TRUE(leftovers(dir.path()).empty());
    }

    TemporaryDirectory dir;
};

TEST_F(ZIPPasswordTest, OpensZipCryptoAndWinZipAESArchives) {
    zipWithPassword("crypt.zip", "s3creto");
    zipWithPassword("crypt0.zip", "s3creto", "-0");
    bsdtarWithPassword("aes256.zip", "s3creto", "zip:encryption=aes256");
    bsdtarWithPassword("aes256s.zip", "s3creto", "zip:encryption=aes256,zip:compression=store");
    bsdtarWithPassword("aes128.zip", "s3creto", "zip:encryption=aes128");
    for (const std::string archive :
         {"crypt.zip", "crypt0.zip", "aes256.zip", "aes256s.zip", "aes128.zip"}) {
        SCOPED_TRACE(archive);
        for (const auto& entry : listed(archive).entries)
            EXPECT_TRUE(entry.isEncrypted) << entry.path;
        const auto result = extractWith("s3creto", archive);
        for (const char* name : {"text.txt", "noise.bin", "small.txt"})
            EXPECT_EQ(readFile(result / name), readFile(dir / "in" / name)) << name;
        std::filesystem::remove_all(result);

        EXPECT_EQ(failureOf([&] { extractWith("otra", archive); }),
                  ArchiveFailure::wrongPassword());
        EXPECT_EQ(failureOf([&] { extractWith(std::nullopt, archive); }),
                  ArchiveFailure::passwordRequired());
        expectUntouchedDestination();
    }
}

// Old tools encrypted with decomposed text or with the bytes of a code page; the typed
// (precomposed) password still opens the archive, and only the matching form is used.
TEST_F(ZIPPasswordTest, TypedPasswordFindsTheFormTheArchiveUses) {
    struct Row {
        std::string archive;
        std::string encryptedWith;
    };
    const std::vector<Row> rows = {{"nfd.zip", cafeNFD},
                                   {"cp850.zip", "caf\x82"},
                                   {"cp1252.zip", "caf\xE9"},
                                   {"nfc.zip", cafeNFC}};
    for (const Row& row : rows)
        zipWithPassword(row.archive, row.encryptedWith);
    bsdtarWithPassword("aesnfd.zip", cafeNFD, "zip:encryption=aes256");

    for (const Row& row :
         std::vector<Row>{rows[0], rows[1], rows[2], rows[3], {"aesnfd.zip", cafeNFD}}) {
        SCOPED_TRACE(row.archive);
        Progress progress;
        const ArchiveSummary listing = listed(row.archive);
        const ZIPArchiveEngine resolved =
            ZIPArchiveEngine(cafeNFC).resolvePassword(dir / row.archive, listing, progress);
        EXPECT_EQ(resolved.resolved, row.encryptedWith + std::string(1, '\0'));
        EXPECT_EQ(resolved.password, cafeNFC);
        EXPECT_EQ(resolved.bufferSize, 262144);
        EXPECT_NO_THROW(resolved.verifyPassword(dir / row.archive, listing, progress));

        const auto result = extractWith(cafeNFC, row.archive);
        EXPECT_EQ(readFile(result / "text.txt"), readFile(dir / "in/text.txt"));
        std::filesystem::remove_all(result);
    }
}

TEST_F(ZIPPasswordTest, AsciiPasswordNeedsNoTrialRead) {
    ArchiveSummary listing;
    listing.entries = {{"a.txt", 10, 22, false, true}};
    Progress progress;
    // The archive does not exist: a trial read would fail.
    const ZIPArchiveEngine resolved =
        ZIPArchiveEngine("abc").resolvePassword(dir / "absent.zip", listing, progress);
    EXPECT_EQ(resolved.resolved, std::string("abc\0", 4));
    EXPECT_EQ(ZIPArchiveEngine().resolvePassword(dir / "absent.zip", listing, progress),
              ZIPArchiveEngine());
}

TEST_F(ZIPPasswordTest, TrialReadsTheSmallestEncryptedFileListedFirst) {
    writeFile(dir / "in/first.txt", "0123456789");
    writeFile(dir / "in/second.txt", "abcdefghij");
    zipWithPassword("two.zip", cafeNFD, "-0", "text.txt first.txt second.txt");
    // Damaging the larger file and the later of the two small ones changes nothing: the trial
    // reads the first 10-byte file.
    damageEntryData(dir / "two.zip", "second.txt", 15);
    damageEntryData(dir / "two.zip", "text.txt", 500);
    Progress progress;
    const ArchiveSummary listing = listed("two.zip");
    EXPECT_EQ(
        ZIPArchiveEngine(cafeNFC).resolvePassword(dir / "two.zip", listing, progress).resolved,
        cafeNFD + std::string(1, '\0'));

    // Once the trial file is damaged too, no form is accepted and the first one stands.
    damageEntryData(dir / "two.zip", "first.txt", 15);
    EXPECT_EQ(
        ZIPArchiveEngine(cafeNFC).resolvePassword(dir / "two.zip", listing, progress).resolved,
        cafeNFC + std::string(1, '\0'));
}

TEST_F(ZIPPasswordTest, UnknownPasswordFailsAfterResolution) {
    zipWithPassword("x.zip", cafeNFD);
    EXPECT_EQ(failureOf([&] { extractWith("caf\xC3\xA8", "x.zip"); }),
              ArchiveFailure::wrongPassword());
    expectUntouchedDestination();
}

TEST_F(ZIPPasswordTest, PasswordCheckBeforeAnEdit) {
    runChecked("zip -q ../plain.zip small.txt", dir / "in");
    zipWithPassword("x.zip", "s3creto");
    bsdtarWithPassword("aes.zip", "s3creto", "zip:encryption=aes256");
    Progress progress;
    const auto check = [&](std::optional<std::string> password, const std::string& archive) {
        return failureOf([&] {
            ZIPArchiveEngine(password).verifyPassword(dir / archive, listed(archive), progress);
        });
    };
    EXPECT_EQ(check(std::nullopt, "plain.zip"), std::nullopt);
    EXPECT_EQ(check(std::nullopt, "x.zip"), ArchiveFailure::passwordRequired());
    EXPECT_EQ(check("s3creto", "x.zip"), std::nullopt);
    EXPECT_EQ(check("s3creto", "aes.zip"), std::nullopt);
    EXPECT_EQ(check("otra", "x.zip"), ArchiveFailure::wrongPassword());
    EXPECT_EQ(check("otra", "aes.zip"), ArchiveFailure::wrongPassword());
}

// One damaged byte inside an entry's data, for each kind of entry.
TEST_F(ZIPPasswordTest, DamagedDataIsNeverExtracted) {
    writeFile(dir / "in/data.bin", sampleBytes(50000, 13, false));
    runChecked("zip -q -0 ../stored.zip data.bin", dir / "in");
    runChecked("zip -q ../deflated.zip text.txt", dir / "in");
    zipWithPassword("crypt.zip", "pw", "-0", "data.bin");
    bsdtarWithPassword("aes.zip", "pw", "zip:encryption=aes256,zip:compression=store");
    std::filesystem::rename(dir / "in/data.bin", dir / "in/text.txt");
    bsdtarWithPassword("aesdeflate.zip", "pw", "zip:encryption=aes256");
    damageEntryData(dir / "stored.zip", "data.bin", 20000);
    damageEntryData(dir / "deflated.zip", "text.txt", 3000);
    damageEntryData(dir / "crypt.zip", "data.bin", 20000);
    damageEntryData(dir / "aes.zip", "text.txt", 20000);
    damageEntryData(dir / "aesdeflate.zip", "text.txt", 20000);

    EXPECT_EQ(failureOf([&] { extractWith(std::nullopt, "stored.zip"); }),
              ArchiveFailure::corrupt("data.bin"));
    const auto deflated = failureOf([&] { extractWith(std::nullopt, "deflated.zip"); });
    ASSERT_TRUE(deflated);
    EXPECT_EQ(deflated->kind(), Case::corrupt);
    // Without an authentication code, a bad CRC of decrypted data looks like a wrong password.
    EXPECT_EQ(failureOf([&] { extractWith("pw", "crypt.zip"); }), ArchiveFailure::wrongPassword());
    // AE-2 stores no CRC: the authentication code catches the damage.
    EXPECT_EQ(failureOf([&] { extractWith("pw", "aes.zip"); }),
              ArchiveFailure::corrupt("ZIP (código -110)"));
    const auto aesDeflated = failureOf([&] { extractWith("pw", "aesdeflate.zip"); });
    ASSERT_TRUE(aesDeflated);
    EXPECT_EQ(aesDeflated->kind(), Case::corrupt);
    expectUntouchedDestination();
}

} // namespace
} // namespace vexa
