#include "core/archive/ArchiveFailure.h"

namespace vexa {

namespace {

std::string messageFor(ArchiveFailure::Case kind, const std::string& payload) {
    using C = ArchiveFailure::Case;
    switch (kind) {
    case C::unsafePath:
        return "El archivo contiene una ruta no segura: " + payload;
    case C::symbolicLink:
        return "Por seguridad, este MVP no procesa enlaces simbólicos: " + payload;
    case C::duplicate:
        return "Hay nombres repetidos o incompatibles: " + payload +
               ". Cambia el nombre de uno de los elementos.";
    case C::corrupt:
        return "Falló la verificación de integridad: " + payload;
    case C::missingVolume:
        return "Falta la parte «" + payload +
               "» o no hay acceso a ella. Todas las partes deben estar en la misma carpeta.";
    case C::rarFailure:
        return "No se pudo leer el RAR: " + payload;
    case C::rarCreation:
        return "No se pudo crear el RAR: " + payload;
    case C::rarEdit:
        return "No se pudo modificar el RAR: " + payload;
    case C::conflict:
        return "Ya existe «" + payload + "» en el archivo.";
    case C::sevenZipFailure:
        return "No se pudo completar la operación con el 7z: " + payload;
    case C::tarFailure:
        return "No se pudo completar la operación con el TAR: " + payload;
    case C::unsupportedTar:
        if (payload.empty())
            return "Esta operación no está disponible para este archivo.";
        return "El TAR contiene un elemento no compatible (dispositivo, FIFO u otro tipo "
               "especial): " +
               payload;
    case C::unsupported:
        return "Este ZIP utiliza una característica no compatible. Se admiten Store, Deflate, "
               "ZIP64, ZipCrypto y AES.";
    case C::emptySelection:
        return "Añade al menos un archivo o una carpeta.";
    case C::passwordRequired:
        return "Introduce la contraseña de este archivo.";
    case C::wrongPassword:
        return "La contraseña no es correcta o los datos cifrados están dañados.";
    case C::previewTooLarge:
        return "La vista previa admite archivos de hasta 100 MB. Extrae este archivo para "
               "abrirlo.";
    case C::splitEditing:
        return "Guarda primero una copia como archivo único para editar este archivo dividido.";
    case C::readOnlyRAR:
        return "Para editar archivos RAR hace falta el programa RAR oficial.";
    case C::unsupportedRAR:
        return "Este RAR contiene elementos no compatibles (por ejemplo, archivos especiales del "
               "sistema).";
    case C::notFirstVolume:
        return "Esta es una parte intermedia de un archivo dividido. Abre la primera parte (por "
               "ejemplo, «.part1.rar» o «.7z.001»).";
    case C::sourceIsArchive:
        return "No puedes añadir un archivo comprimido dentro de sí mismo.";
    case C::archiveChanged:
        return "El archivo cambió en otra aplicación. Ábrelo de nuevo antes de modificarlo.";
    case C::unsupported7z:
        return "Este 7z usa un método de compresión o elementos no compatibles (se admiten LZMA, "
               "LZMA2, PPMd, BZip2, Deflate, filtros BCJ/ARM y AES-256).";
    case C::readOnlySingle:
        return "Un archivo comprimido suelto (.gz, .bz2, .xz) contiene un solo archivo y no se "
               "puede editar. Crea un TAR para reunir varios.";
    case C::readOnlyAndroid:
        return "Los APK y AAB solo se pueden abrir, ver y extraer: modificarlos rompería su firma "
               "y Android no los instalaría.";
    case C::appleArchive:
        return "Este .aar es un Apple Archive (formato de Apple), no una biblioteca de Android. "
               "Vexa no abre Apple Archive.";
    }
    return {};
}

} // namespace

ArchiveFailure::ArchiveFailure(Case kind, std::string payload)
    : case_(kind), payload_(std::move(payload)), message_(messageFor(case_, payload_)) {}

ArchiveFailure::ArchiveFailure(Case kind) : case_(kind), message_(messageFor(case_, payload_)) {}

ArchiveFailure ArchiveFailure::make(Case kind, std::string payload) {
    if (!hasPayload(kind))
        return ArchiveFailure(kind);
    return {kind, std::move(payload)};
}

bool ArchiveFailure::operator==(const ArchiveFailure& other) const {
    if (case_ != other.case_)
        return false;
    return !hasPayload(case_) || payload_ == other.payload_;
}

} // namespace vexa
