#include "ui/CommandHelp.h"

#include "platform/TextRules.h"

#include <algorithm>
#include <array>

namespace vexa {

namespace {

struct Command {
    const char* word;
    const char* arguments;
    const char* summary; // the line of the full help, continued over "\n" lines
    const char* detail;  // what "ayuda orden" adds
};

// clang-format off
const Command commands[] = {
    {"abrir", "[ruta]", "abre un archivo (sin ruta, pregunta cuál)",
     "Las partes de un archivo dividido se buscan en su misma carpeta."},
    {"ls", "", "muestra las filas de la carpeta actual, numeradas", ""},
    {"cd", "[ruta|n]", "entra en una carpeta del archivo abierto (sin ruta, en la raíz)",
     "Como en sftp: «cd a/b» baja dos niveles, «cd ..» y «cd ../..» suben, «cd /» y «cd /a»\n"
     "parten de la raíz; n es el número de una fila. Tab completa las carpetas del archivo."},
    {"buscar", "[texto]", "busca en todo el archivo (sin texto, deja de buscar)",
     "No distingue mayúsculas ni acentos. Un texto con espacios va entre comillas."},
    {"seleccionar", "[n…]", "selecciona filas por número (sin números, ninguna)", ""},
    {"extraer", "", "extrae todo en una carpeta nueva",
     "Pregunta en qué carpeta; dentro se crea una carpeta nueva con el nombre del archivo."},
    {"extraer-seleccion", "", "extrae la selección", "Primero elige filas con «seleccionar n…»."},
    {"inspector", "[extraer|guardar-unico]",
     "muestra el inspector; con un botón lo pulsa\n(extrae la selección si la hay, si no todo)", ""},
    {"vista-previa", "n", "muestra un archivo del archivo abierto",
     "El texto se muestra con el paginador ($PAGER) o se escribe si la salida no es un\n"
     "terminal; lo demás se abre con la aplicación del escritorio. El archivo se conserva\n"
     "hasta «cerrar-vista-previa» o la siguiente vista previa."},
    {"cerrar-vista-previa", "", "cierra la vista previa y borra su archivo", ""},
    {"arrastrar", "n… carpeta", "saca las filas indicadas a una carpeta", ""},
    {"soltar", "ruta…",
     "suelta archivos en la ventana (en la página del archivo\nabierto, los añade a su carpeta actual)", ""},
    {"renombrar", "n [nombre]", "renombra una fila del archivo abierto", ""},
    {"eliminar", "n…", "elimina filas del archivo abierto", "Pide confirmación."},
    {"anadir", "[ruta…]", "añade archivos y carpetas al archivo abierto, en su carpeta\nactual", ""},
    {"reparar", "", "repara un RAR dañado en una copia", "El archivo dañado no se modifica."},
    {"guardar-unico", "", "guarda un archivo dividido en partes como un único archivo", ""},
    {"abrir-resultado", "", "abre el último resultado (una carpeta, en el gestor de archivos)", ""},
    {"fuentes", "", "muestra la página de creación: fuentes y ajustes", ""},
    {"anadir-fuente", "[ruta…]", "añade archivos y carpetas a las fuentes de un archivo nuevo", ""},
    {"quitar", "n", "quita una fuente", ""},
    {"vaciar", "", "quita todas las fuentes", ""},
    {"ajustar", "opción valor",
     "formato zip|rar|7z|tar, nombre texto, comprimir sí|no,\nnivel n, compresión-tar "
     "sin|gzip|bzip2|xz|zstd,\narchivo-único sí|no, autoextraíble sí|no,\nrecuperación sí|no, "
     "contraseña sí|no,\nocultar-nombres sí|no, dividir megabytes",
     "Cambia un ajuste de la página de creación; «contraseña sí» pide la contraseña dos veces.\n"
     "Las opciones se escriben con acentos o sin ellos (compresion-tar, contrasena…). Un\n"
     "nombre que acaba en la extensión del formato la pierde: se muestra aparte."},
    {"crear", "", "crea el archivo con las fuentes y los ajustes", "Pregunta dónde guardarlo."},
    {"programa-rar", "", "elige el programa rar que se usará para crear RAR", ""},
    {"recientes", "", "muestra los archivos recientes", ""},
    {"reciente", "n", "abre un archivo reciente", ""},
    {"actividad", "", "muestra el registro de actividad", ""},
    {"predeterminado", "", "hace de Vexa la aplicación predeterminada",
     "Registra Vexa en el escritorio para abrir ZIP, RAR, 7z, TAR, gzip, bzip2, xz y zstd.\n"
     "Si su entrada de escritorio no está donde el escritorio mira, se copia a\n"
     "$XDG_DATA_HOME/applications; si aun así falla, la segunda línea dice por qué."},
    {"ayuda", "[orden]", "muestra esta ayuda, o la de una orden", ""},
    {"salir", "", "termina", "Si hay una operación en curso, pregunta antes de cancelarla."},
};
// clang-format on

constexpr const char* keysAndStatuses =
    "Teclas:\n"
    "  Ctrl-C   cancela la operación en curso o la pregunta; en la línea de órdenes la\n"
    "           borra, y dos veces seguidas con la línea vacía terminan el programa\n"
    "  Ctrl-D   cancela la pregunta; en la línea de órdenes vacía termina el programa\n"
    "  Tab      completa órdenes, carpetas del archivo tras «cd» y rutas; las flechas\n"
    "           recorren el historial\n"
    "Las órdenes se separan como en la shell, con comillas y barras invertidas; una\n"
    "respuesta es la línea tal como se escribe. A «(s/n)» valen s, sí, y, n y no; Intro\n"
    "solo elige lo que no destruye ni sustituye nada.\n"
    "Estado de salida: 0 todo hecho; 1 una operación falló; 2 error de uso (orden\n"
    "desconocida, fila o archivo que no existe); 3 operación o pregunta cancelada;\n"
    "128 + N terminado por la señal N (SIGTERM 143, SIGHUP 129; Ctrl-C en un guion\n"
    "130), sin cambiar nada.\n";

std::string entry(const Command& command) {
    std::string head = std::string("  ") + command.word;
    if (*command.arguments)
        head += std::string(" ") + command.arguments;
    // The summary starts in column 26, its continuation lines too.
    const std::size_t column = 26;
    std::string text;
    std::string summary = command.summary;
    std::size_t start = 0;
    bool first = true;
    while (start <= summary.size()) {
        const auto end = std::min(summary.find('\n', start), summary.size());
        std::string left = first ? head : std::string();
        if (text::unicodeScalarCount(left) + 1 > column)
            text += left + "\n", left.clear();
        left += std::string(column - text::unicodeScalarCount(left), ' ');
        text += left + summary.substr(start, end - start) + "\n";
        first = false;
        start = end + 1;
    }
    return text;
}

} // namespace

std::string plainWord(const std::string& typed) {
    static const std::array<std::pair<const char*, char>, 6> accents = {
        {{"á", 'a'}, {"é", 'e'}, {"í", 'i'}, {"ó", 'o'}, {"ú", 'u'}, {"ñ", 'n'}}};
    std::string word = text::nfc(typed);
    for (const auto& [accented, plain] : accents)
        for (auto at = word.find(accented); at != std::string::npos; at = word.find(accented, at))
            word.replace(at, 2, 1, plain);
    return word;
}

std::string fullHelp() {
    std::string text = "Órdenes:\n";
    for (const auto& command : commands)
        text += entry(command);
    return text + keysAndStatuses;
}

std::optional<std::string> commandHelp(const std::string& word) {
    const std::string plain = plainWord(word);
    for (const auto& command : commands) {
        if (plain != command.word)
            continue;
        std::string text = entry(command);
        if (*command.detail)
            text += std::string(command.detail) + "\n";
        return text;
    }
    return std::nullopt;
}

const std::vector<std::string>& commandWords() {
    static const std::vector<std::string> words = [] {
        std::vector<std::string> all;
        for (const auto& command : commands)
            all.emplace_back(command.word);
        return all;
    }();
    return words;
}

} // namespace vexa
