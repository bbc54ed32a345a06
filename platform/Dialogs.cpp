#include "platform/Dialogs.h"

#include <stdexcept>
#include <string>

namespace vexa {

namespace {

template <typename Answer> Answer nextAnswer(std::deque<Answer>& answers, const std::string& what) {
    if (answers.empty())
        throw std::logic_error("ScriptedDialogs: unexpected " + what);
    Answer answer = std::move(answers.front());
    answers.pop_front();
    return answer;
}

} // namespace

AlertResponse ScriptedDialogs::runAlert(const AlertRequest& request) {
    alerts.push_back(request);
    AlertResponse answer = nextAnswer(alertAnswers, "alert \"" + request.messageText + "\"");
    // An alert with no buttons still has the platform's single default button.
    const int buttons = request.buttons.empty() ? 1 : static_cast<int>(request.buttons.size());
    if (answer.button < 1000 || answer.button >= 1000 + buttons)
        throw std::logic_error("ScriptedDialogs: alert \"" + request.messageText +
                               "\" has no button " + std::to_string(answer.button));
    return answer;
}

std::vector<std::filesystem::path> ScriptedDialogs::runOpenPanel(const OpenPanelRequest& request) {
    openPanels.push_back(request);
    auto answer = nextAnswer(openAnswers, "open panel \"" + request.message + "\"");
    if (answer.size() > 1 && !request.allowsMultipleSelection)
        throw std::logic_error("ScriptedDialogs: open panel \"" + request.message +
                               "\" allows one location only");
    return answer;
}

std::optional<std::filesystem::path>
ScriptedDialogs::runSavePanel(const SavePanelRequest& request) {
    savePanels.push_back(request);
    return nextAnswer(saveAnswers, "save panel \"" + request.nameFieldStringValue + "\"");
}

} // namespace vexa
