#pragma once

#include "core/workspace/WorkspaceModel.h"

#include <iosfwd>
#include <memory>
#include <string>

namespace vexa {

// The progress bar of the running operation, redrawn whenever the model's fraction or title
// changes. On a terminal it is one line rewritten in place; elsewhere (a log, a test) only each
// operation's title is written once, so the output stays readable.
class ProgressDisplay {
  public:
    ProgressDisplay(WorkspaceModel& model, std::ostream& out, bool terminal);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Wipes the bar, so that other output can start at the beginning of a line.
    void clear();

    // "Título [#####.....]  50 %" with a bar `width` characters wide; the fraction is clamped
    // to [0, 1].
    static std::string line(const std::string& title, double fraction, int width = 30);

  private:
    void changed(WorkspaceField field);
    void draw();

    WorkspaceModel& model_;
    std::ostream& out_;
    bool terminal_;
    ObservationRegistrar::Token token_;
    bool shown_ = false;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

} // namespace vexa
