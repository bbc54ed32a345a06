#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// Modal dialogues of the model. Alert buttons answer by position: first 1000, then 1001, ...
struct AlertRequest {
    std::string messageText;
    std::string informativeText;
    bool warningStyle = false;
    std::vector<std::string> buttons;
    // A text field, when present.
    bool hasTextField = false;
    bool secureTextField = false;
    std::string initialText;
    std::string placeholder;
};

struct AlertResponse {
    int button = 1000;
    std::string text; // the text field's content
};

struct OpenPanelRequest {
    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    bool allowsMultipleSelection = false;
    std::optional<std::filesystem::path> directory; // start folder
    std::string message;
    std::string prompt;
    std::vector<std::string> allowedContentTypes; // file extensions without the dot
};

struct SavePanelRequest {
    std::string nameFieldStringValue; // proposed name
    std::vector<std::string> allowedContentTypes;
    std::optional<std::filesystem::path> directory;
    std::string message;
    std::string prompt;
};

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    virtual AlertResponse runAlert(const AlertRequest& request) = 0;
    // Empty when the user cancels.
    virtual std::vector<std::filesystem::path> runOpenPanel(const OpenPanelRequest& request) = 0;
    virtual std::optional<std::filesystem::path> runSavePanel(const SavePanelRequest& request) = 0;
};

// Answers from a script, in order, and remembers every request; for tests. A dialogue with no
// answer left in its script, an alert answered with a button it does not have, or an open
// panel answered with more than one location without multiple selection throws
// std::logic_error (a fault of the test, not of the code under test).
class ScriptedDialogs : public Dialogs {
  public:
    void answerAlert(AlertResponse response) { alertAnswers.push_back(std::move(response)); }
    void answerOpenPanel(std::vector<std::filesystem::path> chosen) {
        openAnswers.push_back(std::move(chosen));
    }
    void answerSavePanel(std::optional<std::filesystem::path> chosen) {
        saveAnswers.push_back(std::move(chosen));
    }

    AlertResponse runAlert(const AlertRequest& request) override;
    std::vector<std::filesystem::path> runOpenPanel(const OpenPanelRequest& request) override;
    std::optional<std::filesystem::path> runSavePanel(const SavePanelRequest& request) override;

    std::deque<AlertResponse> alertAnswers;
    std::deque<std::vector<std::filesystem::path>> openAnswers;
    std::deque<std::optional<std::filesystem::path>> saveAnswers;
    std::vector<AlertRequest> alerts;
    std::vector<OpenPanelRequest> openPanels;
    std::vector<SavePanelRequest> savePanels;

    // True when every scripted answer has been used.
    bool scriptUsed() const {
        return alertAnswers.empty() && openAnswers.empty() && saveAnswers.empty();
    }
};

} // namespace vexa
