#include "platform/Dialogs.h"

#include <gtest/gtest.h>
#include <stdexcept>

namespace vexa {
namespace {

AlertRequest passwordPrompt() {
    AlertRequest request;
    request.messageText = "Contraseña del RAR";
    request.informativeText = "La contraseña se usará solo en memoria durante esta sesión.";
    request.buttons = {"Continuar", "Cancelar"};
    request.hasTextField = true;
    request.secureTextField = true;
    request.placeholder = "Contraseña";
    return request;
}

TEST(ScriptedDialogs, AnswersInOrderAndRecordsEveryRequest) {
    ScriptedDialogs dialogs;
    dialogs.answerAlert({1000, "secreto"});
    dialogs.answerAlert({1001, ""});
    dialogs.answerOpenPanel({"/tmp/a.zip"});
    dialogs.answerSavePanel(std::nullopt);

    Dialogs& asked = dialogs;
    const AlertResponse first = asked.runAlert(passwordPrompt());
    EXPECT_EQ(first.button, 1000);
    EXPECT_EQ(first.text, "secreto");
    EXPECT_EQ(asked.runAlert(passwordPrompt()).button, 1001);
    OpenPanelRequest open;
    open.message = "Abrir archivo";
    EXPECT_EQ(asked.runOpenPanel(open), (std::vector<std::filesystem::path>{"/tmp/a.zip"}));
    SavePanelRequest save;
    save.nameFieldStringValue = "Archivo.zip";
    EXPECT_EQ(asked.runSavePanel(save), std::nullopt);

    ASSERT_EQ(dialogs.alerts.size(), 2u);
    EXPECT_TRUE(dialogs.alerts[0].secureTextField);
    EXPECT_EQ(dialogs.alerts[0].placeholder, "Contraseña");
    EXPECT_EQ(dialogs.openPanels.at(0).message, "Abrir archivo");
    EXPECT_EQ(dialogs.savePanels.at(0).nameFieldStringValue, "Archivo.zip");
    EXPECT_TRUE(dialogs.scriptUsed());
}

TEST(ScriptedDialogs, ScriptFaultsAreTestErrors) {
    ScriptedDialogs dialogs;
    EXPECT_THROW(dialogs.runAlert(passwordPrompt()), std::logic_error);
    EXPECT_THROW(dialogs.runOpenPanel({}), std::logic_error);
    EXPECT_THROW(dialogs.runSavePanel({}), std::logic_error);

    dialogs.answerAlert({1002, ""}); // the prompt has two buttons: 1000 and 1001
    EXPECT_THROW(dialogs.runAlert(passwordPrompt()), std::logic_error);
    dialogs.answerAlert({999, ""});
    EXPECT_THROW(dialogs.runAlert(passwordPrompt()), std::logic_error);

    dialogs.answerOpenPanel({"/a", "/b"});
    OpenPanelRequest single;
    EXPECT_THROW(dialogs.runOpenPanel(single), std::logic_error);
    dialogs.answerOpenPanel({"/a", "/b"});
    OpenPanelRequest multiple;
    multiple.allowsMultipleSelection = true;
    EXPECT_EQ(dialogs.runOpenPanel(multiple).size(), 2u);
    // Every request is recorded, even the ones the script could not answer.
    EXPECT_EQ(dialogs.alerts.size(), 3u);
    EXPECT_EQ(dialogs.openPanels.size(), 3u);
}

} // namespace
} // namespace vexa
