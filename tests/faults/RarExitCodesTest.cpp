// The rar program's documented exit statuses for system failures read as the platform's own
// messages about the user's archive, and leave nothing behind.
#include "core/workspace/ArchiveCreation.h"
#include "core/workspace/ArchiveEdits.h"
#include "engines/EngineFactory.h"
#include "platform/Progress.h"
#include "tests/core/ScopedRarLocations.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

TEST(RarExitCodes, SystemFailuresOfTheProgramNameTheArchive) {
    ASSERT_TRUE(toolInstalled("rar"));
    struct Case {
        int code;
        std::string created;
        std::string edited;
    };
    const Case cases[] = {
        {5, "No se pudo guardar «nueva.rar» por un error de lectura o escritura del disco.",
         "No se pudo guardar «a.rar» por un error de lectura o escritura del disco."},
        {9, "No se pudo guardar «nueva.rar» por un error de lectura o escritura del disco.",
         "No se pudo guardar «a.rar» por un error de lectura o escritura del disco."},
        {8, "No hay memoria suficiente para trabajar con «nueva.rar».",
         "No hay memoria suficiente para trabajar con «a.rar»."},
        {2, "No se pudo crear el RAR: el compresor terminó con el código 2.",
         "No se pudo modificar el RAR: el compresor terminó con el código 2."},
        // Open and read errors concern a file rar does not name, often a source: the code.
        {6, "No se pudo crear el RAR: el compresor terminó con el código 6.",
         "No se pudo modificar el RAR: el compresor terminó con el código 6."},
        {12, "No se pudo crear el RAR: el compresor terminó con el código 12.",
         "No se pudo modificar el RAR: el compresor terminó con el código 12."},
    };
    for (const Case& c : cases) {
        TemporaryDirectory folder;
        writeFile(folder / "docs" / "a.txt", "texto");
        runChecked("rar a -idq a.rar docs", folder.path());
        const std::string original = readFile(folder / "a.rar");
        fs::create_directories(folder / "programa");
        writeFile(folder / "programa" / "rar", "#!/bin/sh\nexit " + std::to_string(c.code) + "\n");
        ::chmod((folder / "programa" / "rar").c_str(), 0755);
        ScopedRarLocations locations(RarLocations{folder / "programa", {}});

        std::string message;
        try {
            CreationRequest request;
            request.format = ArchiveFormat::rar;
            request.rarProgram = folder / "programa" / "rar";
            request.level = 3;
            request.sources = {folder / "docs"};
            request.destination = folder / "nueva.rar";
            createWithFormat(request, *Progress::make());
        } catch (const std::exception& failure) {
            message = failure.what();
        }
        EXPECT_EQ(message, c.created) << c.code;

        message.clear();
        try {
            const auto summary = makeArchiveEngine(folder / "a.rar", std::nullopt)
                                     ->list(folder / "a.rar", *Progress::make());
            renameInArchive(summary, std::nullopt, *Progress::make(), summary.entries.back(),
                            "b.txt");
        } catch (const std::exception& failure) {
            message = failure.what();
        }
        EXPECT_EQ(message, c.edited) << c.code;
        EXPECT_EQ(readFile(folder / "a.rar"), original);
        std::set<std::string> left;
        for (const auto& entry : fs::directory_iterator(folder.path()))
            left.insert(entry.path().filename().string());
        EXPECT_EQ(left, (std::set<std::string>{"a.rar", "docs", "programa"})) << c.code;
    }
}

} // namespace
} // namespace vexa::testing
