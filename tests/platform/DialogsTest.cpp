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

TEST(ScriptedDialogs, AnswersInOrder) {
    ScriptedDialogs dialogs;
    dialogs.answerAlert({1000, "secreto"});
    dialogs.answerAlert({1001, ""});
    Dialogs& asked = dialogs;
    EXPECT_EQ(asked.runAlert(passwordPrompt()).text, "secreto");
    EXPECT_EQ(asked.runAlert(passwordPrompt()).button, 1001);
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
