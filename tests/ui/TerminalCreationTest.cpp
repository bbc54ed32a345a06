#include "tests/ui/SessionHarness.h"

#include <gtest/gtest.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

struct CreationTest : ::testing::Test {
    CreationTest() {
        fs::create_directories(h.temporary / "src/docs");
        writeFile(h.temporary / "src/a.txt", "hola\n");
        writeFile(h.temporary / "src/docs/b.txt", sampleBytes(70000, 3, true));
        fs::create_directory(h.temporary / "salida");
    }
    std::string source(const std::string& name) const {
        return shellQuote((h.temporary / "src" / name).string());
    }
    SessionHarness h;
};

TEST_F(CreationTest, EncryptedZipFromTheSourcesReadsBackWithUnzip) {
    h.answers("clave\nclave\n" + (h.temporary / "salida").string() + "\n");
    const auto shown = h.run("anadir-fuente " + source("a.txt") + " " + source("docs") +
                             "; ajustar nombre Copia; ajustar contrasena si; crear");
    EXPECT_TRUE(contains(shown, "Crear: Copia.zip\n  formato: ZIP\n")) << shown;
    EXPECT_TRUE(contains(shown, "ZIP creado correctamente\nResultado: ")) << shown;
    const auto archive = h.temporary / "salida/Copia.zip";
    ASSERT_TRUE(fs::exists(archive)) << shown;
    // Typed passwords never reach the transcript.
    EXPECT_FALSE(contains(shown, "clave")) << shown;
    // AES-256 entries: bsdtar reads them, Info-ZIP's unzip does not.
    fs::create_directory(h.temporary / "copia");
    runChecked("bsdtar -xf " + shellQuote(archive.string()) + " --passphrase clave",
               h.temporary / "copia");
    EXPECT_EQ(readFile(h.temporary / "copia/docs/b.txt"), sampleBytes(70000, 3, true));
    EXPECT_NE(
        runCommand("bsdtar -xOf " + shellQuote(archive.string()) + " --passphrase otra").exitStatus,
        0);
}

TEST_F(CreationTest, SingleCompressedFileAndTheSourcesList) {
    auto shown = h.run("anadir-fuente " + source("a.txt") + " " + source("docs") + " " +
                       source("a.txt") + "; ajustar formato tar; ajustar compresion-tar gzip");
    EXPECT_TRUE(contains(shown, "Crear: Archivo.tar.gz\n")) << shown;
    // Each source is listed once.
    EXPECT_TRUE(contains(shown, "Fuentes:\n  1. " + (h.temporary / "src/a.txt").string() +
                                    "\n  2. " + (h.temporary / "src/docs").string() + "\n"))
        << shown;

    h.answers((h.temporary / "salida").string() + "\n");
    shown = h.run("quitar 2; ajustar archivo-unico si; crear");
    EXPECT_TRUE(contains(shown, "Crear: (nombre del archivo).gz\n")) << shown;
    EXPECT_TRUE(contains(shown, "Crear TAR [a.txt.gz]")) << shown;
    EXPECT_EQ(runChecked("gzip -dc salida/a.txt.gz", h.temporary.path()), "hola\n");

    shown = h.run("vaciar; fuentes; quitar 1; ajustar nivel diez; ajustar formato arj");
    EXPECT_TRUE(contains(shown, "Fuentes: ninguna\n")) << shown;
    EXPECT_TRUE(contains(shown, "Uso: quitar n (n entre 1 y 0)")) << shown;
    EXPECT_TRUE(contains(shown, "Valor no válido para nivel: diez")) << shown;
    EXPECT_TRUE(contains(shown, "Formatos: zip, rar, 7z, tar")) << shown;
    // A level typed for ZIP is not stored as the RAR one.
    shown = h.run("ajustar formato zip; ajustar nivel 9");
    EXPECT_TRUE(contains(shown, "El ZIP no tiene nivel")) << shown;
    EXPECT_EQ(h.model->rarLevel(), 3);
    shown = h.run("crear");
    EXPECT_TRUE(contains(shown, "No hay fuentes")) << shown;
}

TEST_F(CreationTest, RefusedSettingsAreShownAsErrorsWithoutAPanel) {
    h.answers("una\notra\n");
    const auto shown = h.run("anadir-fuente " + source("a.txt") +
                             "; ajustar contrasena si; crear; ajustar contrasena no; "
                             "ajustar nombre ../x; crear");
    EXPECT_TRUE(contains(shown, "No se pudo completar la operación\nEscribe y confirma la misma "
                                "contraseña."))
        << shown;
    EXPECT_TRUE(contains(shown, "Escribe un nombre de archivo válido.")) << shown;
    EXPECT_FALSE(contains(shown, "Crear ZIP [")) << shown;
    EXPECT_TRUE(fs::is_empty(h.temporary / "salida"));
}

} // namespace
} // namespace vexa::testing
