#include "engines/EngineFactory.h"

#include "engines/rar/RARArchiveEngine.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "engines/tar/TarArchiveEngine.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using testing::runChecked;
using testing::TemporaryDirectory;
using testing::writeFile;

enum class Kind { sevenZip, tar, rar, zip };

Kind kindOf(const ArchiveEngine& engine) {
    if (dynamic_cast<const SevenZipArchiveEngine*>(&engine))
        return Kind::sevenZip;
    if (dynamic_cast<const TarArchiveEngine*>(&engine))
        return Kind::tar;
    if (dynamic_cast<const RARArchiveEngine*>(&engine))
        return Kind::rar;
    EXPECT_NE(dynamic_cast<const ZIPArchiveEngine*>(&engine), nullptr);
    return Kind::zip;
}

// Files named against their content, from the tools that really make them.
class EngineFactoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(temporary / "nota.txt", "hola");
        runChecked("bsdtar --format 7zip -cf real.7z nota.txt && cp real.7z conFirma.001 && "
                   "bsdtar -czf real.tar.gz nota.txt && zip -q real.zip nota.txt && "
                   "cp real.zip partido.001",
                   temporary.path());
        if (testing::commandExists("rar"))
            runChecked("rar a -idq real.rar nota.txt && cp real.rar rar_como.zip && "
                       "cp real.rar rar_sin_extension && "
                       "rar a -idq -sfx/usr/lib/default.sfx instalador nota.txt && "
                       "mv instalador.sfx instalador.exe",
                       temporary.path());
        writeFile(temporary / "programa.exe", std::string(1000, 'M'));
    }

    Kind choose(const std::string& name) {
        return kindOf(*makeArchiveEngine(temporary / name, std::string("clave")));
    }

    TemporaryDirectory temporary;
};

TEST_F(EngineFactoryTest, ChoosesByNameThenContentIn7zTarRarZipOrder) {
    const std::pair<const char*, Kind> cases[] = {
        {"real.7z", Kind::sevenZip},
        {"real.7z.001", Kind::sevenZip}, // missing, by name
        {"conFirma.001", Kind::sevenZip},
        {"partido.001", Kind::zip},
        {"real.tar.gz", Kind::tar},
        {"x.tar.zst", Kind::tar},
        {"x.gz", Kind::tar},
        {"x.tar", Kind::tar},
        {"x.TBZ2", Kind::tar},
        {"x.txz", Kind::tar},
        {"x.tzst", Kind::tar},
        {"notas.txt.bz2", Kind::tar},
        {"notas.txt.xz", Kind::tar},
        {"notas.txt.zst", Kind::tar},
        {"juego.7z.002", Kind::sevenZip},
        {"Backup.RAR", Kind::rar},
        {"x.part3.rar", Kind::rar},
        {"programa.exe", Kind::zip}, // an exe without the marker
        {"real.zip", Kind::zip},
        {"app.apk", Kind::zip},
        {"lib.jar", Kind::zip},
        {"sin_nombre_conocido", Kind::zip},
    };
    for (const auto& [name, kind] : cases)
        EXPECT_EQ(choose(name), kind) << name;
}

TEST_F(EngineFactoryTest, RarContentOnlyCountsForExeAndSfx) {
    if (!testing::commandExists("rar"))
        GTEST_SKIP() << "no rar program";
    EXPECT_EQ(choose("instalador.exe"), Kind::rar);
    EXPECT_EQ(choose("rar_como.zip"), Kind::zip);
    EXPECT_EQ(choose("rar_sin_extension"), Kind::zip);
}

TEST_F(EngineFactoryTest, EnginesCarryThePasswordWithExactOff) {
    const std::optional<std::string> password("contraseña");
    const auto sevenZip = makeArchiveEngine(temporary / "real.7z", password);
    const auto* seven = dynamic_cast<const SevenZipArchiveEngine*>(sevenZip.get());
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(seven->password, password);
    EXPECT_FALSE(seven->exact);

    const auto rarEngine = makeArchiveEngine(temporary / "x.rar", password);
    const auto* rar = dynamic_cast<const RARArchiveEngine*>(rarEngine.get());
    ASSERT_NE(rar, nullptr);
    EXPECT_EQ(rar->password, password);
    EXPECT_FALSE(rar->exact);

    const auto zipEngine = makeArchiveEngine(temporary / "real.zip", std::nullopt);
    const auto* zip = dynamic_cast<const ZIPArchiveEngine*>(zipEngine.get());
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(zip->password, std::nullopt);
    EXPECT_EQ(zip->splitSize, 0);
    EXPECT_FALSE(zip->resolved.has_value());
    EXPECT_EQ(zip->bufferSize, 262144);
}

} // namespace
} // namespace vexa
