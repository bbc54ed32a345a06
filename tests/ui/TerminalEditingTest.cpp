#include "tests/ui/SessionHarness.h"

#include <gtest/gtest.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

// The names Info-ZIP's unzip lists in the archive, one per line.
std::string namesInZip(const fs::path& archive) {
    return runChecked("unzip -Z1 " + shellQuote(archive.string()) + " | sort");
}

struct EditingTest : ::testing::Test {
    EditingTest() {
        fs::create_directories(h.temporary / "src/docs");
        writeFile(h.temporary / "src/a.txt", "hola\n");
        writeFile(h.temporary / "src/docs/b.txt", "be\n");
        writeFile(h.temporary / "nuevo.txt", "nuevo\n");
        runChecked("zip -qr ../x.zip a.txt docs", h.temporary / "src");
        archive = h.temporary / "x.zip";
        h.run("abrir " + shellQuote(archive.string()));
    }
    SessionHarness h;
    fs::path archive;
};

TEST_F(EditingTest, RenameTakesTheNameFromTheCommandOrAsksForIt) {
    auto shown = h.run("renombrar 2 'b c.txt'");
    EXPECT_TRUE(contains(shown, "ZIP actualizado")) << shown;
    EXPECT_EQ(namesInZip(archive), "b c.txt\ndocs/\ndocs/b.txt\n");

    h.answers("d.txt\n1\n");
    shown = h.run("ls; renombrar 2");
    EXPECT_TRUE(contains(shown, "Renombrar «b c.txt»")) << shown;
    EXPECT_EQ(namesInZip(archive), "d.txt\ndocs/\ndocs/b.txt\n");
    EXPECT_TRUE(h.model->selection().empty());
}

TEST_F(EditingTest, DeleteAsksFirstAndTheEndOfInputKeepsEverything) {
    h.answers("");
    h.run("eliminar 1 2");
    EXPECT_EQ(namesInZip(archive), "a.txt\ndocs/\ndocs/b.txt\n");

    h.answers("2\n");
    const auto shown = h.run("eliminar 1");
    EXPECT_TRUE(contains(shown, "¿Eliminar 1 elemento(s) del ZIP?")) << shown;
    EXPECT_EQ(namesInZip(archive), "a.txt\n");
    EXPECT_FALSE(h.session->errorShown()) << shown;
}

TEST_F(EditingTest, AddGoesIntoTheFolderShownAndAsksAboutTakenNames) {
    auto shown = h.run("cd docs; anadir " + shellQuote((h.temporary / "nuevo.txt").string()));
    EXPECT_TRUE(contains(shown, "ZIP actualizado")) << shown;
    EXPECT_EQ(namesInZip(archive), "a.txt\ndocs/\ndocs/b.txt\ndocs/nuevo.txt\n");

    // The same name again: "Reemplazar".
    writeFile(h.temporary / "nuevo.txt", "otra vez\n");
    h.answers("2\n");
    shown = h.run("soltar " + shellQuote((h.temporary / "nuevo.txt").string()));
    EXPECT_TRUE(contains(shown, "Ya existe «")) << shown;
    EXPECT_EQ(runChecked("unzip -p " + shellQuote(archive.string()) + " docs/nuevo.txt"),
              "otra vez\n");

    // The open panel of "anadir" without locations; "Omitir repetidos" leaves a.txt as it was.
    writeFile(h.temporary / "a.txt", "otro a\n");
    h.answers((h.temporary / "a.txt").string() + "\n\n3\n");
    shown = h.run("cd /; anadir");
    EXPECT_TRUE(contains(shown, "Ya existe «a.txt»")) << shown;
    EXPECT_EQ(runChecked("unzip -p " + shellQuote(archive.string()) + " a.txt"), "hola\n");
    EXPECT_FALSE(h.session->errorShown()) << shown;
}

TEST_F(EditingTest, SourcesHaveTheirOwnWordWhateverPageIsShown) {
    const auto added = shellQuote((h.temporary / "nuevo.txt").string());
    h.run("anadir-fuente " + added);
    EXPECT_EQ(h.model->sources(), std::vector<fs::path>{h.temporary / "nuevo.txt"});
    EXPECT_EQ(namesInZip(archive), "a.txt\ndocs/\ndocs/b.txt\n");
    // On the create page "anadir" still writes into the open archive.
    h.run("fuentes; anadir " + added);
    EXPECT_EQ(namesInZip(archive), "a.txt\ndocs/\ndocs/b.txt\nnuevo.txt\n");
    EXPECT_EQ(h.model->sources().size(), 1u);
}

TEST_F(EditingTest, SplitZipIsSavedAsOneFile) {
    writeFile(h.temporary / "grande.bin", sampleBytes(200000, 5, false));
    runChecked("zip -q -s 64k partes.zip grande.bin", h.temporary.path());
    const auto single = h.temporary / "unico.zip";
    h.answers(single.string() + "\n");
    auto shown = h.run("abrir " + shellQuote((h.temporary / "partes.zip").string()) +
                       "; inspector; guardar-unico");
    EXPECT_TRUE(contains(shown, "  botones: Extraer todo…, Guardar como archivo único…\n"))
        << shown;
    ASSERT_TRUE(fs::exists(single)) << shown;
    runChecked("unzip -tq " + shellQuote(single.string()));
    EXPECT_EQ(runChecked("unzip -p " + shellQuote(single.string()) + " grande.bin"),
              sampleBytes(200000, 5, false));
}

TEST(TerminalRepair, ADamagedRarIsRepairedIntoTheProposedCopy) {
    ASSERT_TRUE(toolInstalled("rar"));
    ASSERT_TRUE(toolInstalled("unrar"));
    SessionHarness h;
    writeFile(h.temporary / "datos.bin", sampleBytes(300000, 9, false));
    runChecked("rar a -idq -rr5% roto.rar datos.bin", h.temporary.path());
    // One byte changed in the middle of the packed data.
    runChecked("printf 'X' | dd of=roto.rar bs=1 seek=150000 conv=notrunc status=none",
               h.temporary.path());
    const std::string original = readFile(h.temporary / "roto.rar");

    h.answers((h.temporary / "roto.rar").string() + "\n\n");
    const auto shown = h.run("reparar");
    const auto repaired = h.temporary / "roto — reparado.rar";
    EXPECT_TRUE(contains(shown, "RAR reparado")) << shown;
    ASSERT_TRUE(fs::exists(repaired)) << shown;
    runChecked("unrar t -idq " + shellQuote(repaired.string()));
    EXPECT_EQ(readFile(h.temporary / "roto.rar"), original);
}

} // namespace
} // namespace vexa::testing
