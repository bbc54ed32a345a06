#include "core/archive/ArchiveFailure.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace vexa {
namespace {

struct MessageRow {
    ArchiveFailure failure;
    std::string expected;
};

// The payload holds the guillemets and accents of real names, so a message that drops or
// re-encodes it shows up.
const std::string payload = "carpeta/Año «1».txt";

std::vector<MessageRow> messageRows() {
    return {
        {ArchiveFailure::unsafePath(payload), "El archivo contiene una ruta no segura: " + payload},
        {ArchiveFailure::symbolicLink(payload),
         "Por seguridad, este MVP no procesa enlaces simbólicos: " + payload},
        {ArchiveFailure::duplicate(payload), "Hay nombres repetidos o incompatibles: " + payload +
                                                 ". Cambia el nombre de uno de los elementos."},
        {ArchiveFailure::corrupt(payload), "Falló la verificación de integridad: " + payload},
        {ArchiveFailure::missingVolume(payload),
         "Falta la parte «" + payload +
             "» o no hay acceso a ella. Todas las partes deben estar en la misma carpeta."},
        {ArchiveFailure::rarFailure(payload), "No se pudo leer el RAR: " + payload},
        {ArchiveFailure::rarCreation(payload), "No se pudo crear el RAR: " + payload},
        {ArchiveFailure::rarEdit(payload), "No se pudo modificar el RAR: " + payload},
        {ArchiveFailure::conflict(payload), "Ya existe «" + payload + "» en el archivo."},
        {ArchiveFailure::sevenZipFailure(payload),
         "No se pudo completar la operación con el 7z: " + payload},
        {ArchiveFailure::tarFailure(payload),
         "No se pudo completar la operación con el TAR: " + payload},
        {ArchiveFailure::unsupportedTar(payload),
         "El TAR contiene un elemento no compatible (dispositivo, FIFO u otro tipo especial): " +
             payload},
        {ArchiveFailure::unsupported(), "Este ZIP utiliza una característica no compatible. Se "
                                        "admiten Store, Deflate, ZIP64, ZipCrypto y AES."},
        {ArchiveFailure::emptySelection(), "Añade al menos un archivo o una carpeta."},
        {ArchiveFailure::passwordRequired(), "Introduce la contraseña de este archivo."},
        {ArchiveFailure::wrongPassword(),
         "La contraseña no es correcta o los datos cifrados están dañados."},
        {ArchiveFailure::previewTooLarge(),
         "La vista previa admite archivos de hasta 100 MB. Extrae este archivo para abrirlo."},
        {ArchiveFailure::splitEditing(),
         "Guarda primero una copia como archivo único para editar este archivo dividido."},
        {ArchiveFailure::readOnlyRAR(),
         "Para editar archivos RAR hace falta el programa RAR oficial."},
        {ArchiveFailure::unsupportedRAR(), "Este RAR contiene elementos no compatibles (por "
                                           "ejemplo, archivos especiales del sistema)."},
        {ArchiveFailure::notFirstVolume(),
         "Esta es una parte intermedia de un archivo dividido. Abre la primera parte (por ejemplo, "
         "«.part1.rar» o «.7z.001»)."},
        {ArchiveFailure::sourceIsArchive(),
         "No puedes añadir un archivo comprimido dentro de sí mismo."},
        {ArchiveFailure::archiveChanged(),
         "El archivo cambió en otra aplicación. Ábrelo de nuevo antes de modificarlo."},
        {ArchiveFailure::unsupported7z(),
         "Este 7z usa un método de compresión o elementos no compatibles (se admiten LZMA, LZMA2, "
         "PPMd, BZip2, Deflate, filtros BCJ/ARM y AES-256)."},
        {ArchiveFailure::readOnlySingle(),
         "Un archivo comprimido suelto (.gz, .bz2, .xz) contiene un solo archivo y no se puede "
         "editar. Crea un TAR para reunir varios."},
        {ArchiveFailure::readOnlyAndroid(),
         "Los APK y AAB solo se pueden abrir, ver y extraer: modificarlos rompería su firma y "
         "Android no los instalaría."},
        {ArchiveFailure::appleArchive(), "Este .aar es un Apple Archive (formato de Apple), no una "
                                         "biblioteca de Android. Vexa no abre Apple Archive."},
    };
}

TEST(ArchiveFailureMessages, EveryCaseHasItsExactSpanishText) {
    const auto rows = messageRows();
    ASSERT_EQ(rows.size(), 27u);
    std::set<ArchiveFailure::Case> seen;
    for (const auto& row : rows) {
        EXPECT_EQ(row.failure.message(), row.expected);
        EXPECT_STREQ(row.failure.what(), row.expected.c_str());
        seen.insert(row.failure.kind());
    }
    EXPECT_EQ(seen.size(), 27u);
}

TEST(ArchiveFailureMessages, CasesKeepTheirOrderAndOnlyTheFirstTwelveCarryAPayload) {
    const auto rows = messageRows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(rows[i].failure.kind()), i);
        EXPECT_EQ(ArchiveFailure::hasPayload(rows[i].failure.kind()), i <= 11) << i;
        EXPECT_EQ(rows[i].failure.payload(), i <= 11 ? payload : "") << i;
    }
}

TEST(ArchiveFailureMessages, UnsupportedTarWithoutDetailSaysTheOperationIsUnavailable) {
    EXPECT_EQ(ArchiveFailure::unsupportedTar("").message(),
              "Esta operación no está disponible para este archivo.");
    EXPECT_EQ(ArchiveFailure::unsupportedTar("dev/sda").message(),
              "El TAR contiene un elemento no compatible (dispositivo, FIFO u otro tipo "
              "especial): dev/sda");
    // A single space is a detail, not an empty payload.
    EXPECT_EQ(ArchiveFailure::unsupportedTar(" ").message(),
              "El TAR contiene un elemento no compatible (dispositivo, FIFO u otro tipo "
              "especial):  ");
}

TEST(ArchiveFailureEquality, ComparesCaseAndPayload) {
    EXPECT_EQ(ArchiveFailure::wrongPassword(), ArchiveFailure::wrongPassword());
    EXPECT_EQ(ArchiveFailure::duplicate("a.txt"), ArchiveFailure::duplicate("a.txt"));
    EXPECT_NE(ArchiveFailure::duplicate("a.txt"), ArchiveFailure::duplicate("b.txt"));
    EXPECT_NE(ArchiveFailure::duplicate("a.txt"), ArchiveFailure::unsafePath("a.txt"));
    EXPECT_NE(ArchiveFailure::rarFailure("x"), ArchiveFailure::rarEdit("x"));
    EXPECT_NE(ArchiveFailure::wrongPassword(), ArchiveFailure::passwordRequired());
    EXPECT_EQ(ArchiveFailure::unsupportedTar(""), ArchiveFailure::unsupportedTar(""));
    EXPECT_NE(ArchiveFailure::unsupportedTar(""), ArchiveFailure::unsupportedTar("fifo"));
    EXPECT_EQ(ArchiveFailure(ArchiveFailure::Case::readOnlyRAR), ArchiveFailure::readOnlyRAR());
}

TEST(ArchiveFailureMake, BuildsAnyCaseAndDropsPayloadsThatDoNotBelong) {
    const auto rows = messageRows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ArchiveFailure made = ArchiveFailure::make(rows[i].failure.kind(), payload);
        EXPECT_EQ(made, rows[i].failure) << i;
        EXPECT_EQ(made.message(), rows[i].expected) << i;
    }
    EXPECT_EQ(ArchiveFailure::make(ArchiveFailure::Case::wrongPassword, "x").payload(), "");
    EXPECT_EQ(ArchiveFailure::make(ArchiveFailure::Case::unsupportedTar),
              ArchiveFailure::unsupportedTar(""));
}

} // namespace
} // namespace vexa
