#pragma once

#include "core/workspace/WorkspaceModel.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

namespace vexa {

// The progress bar of the running operation, redrawn when the model's fraction or title
// changes. On a terminal it is one line rewritten in place, as wide as the terminal is now,
// each frame sent with one write and only when it differs from the last; after a few seconds it
// adds the throughput (when the bytes of the work are known) and the time left. Elsewhere (a
// dumb terminal, a log, a test) each operation's title is written once as a plain line.
class ProgressDisplay {
  public:
    // `terminal`: the bar may be drawn; `terminalFd` is asked for the width.
    ProgressDisplay(WorkspaceModel& model, std::ostream& out, bool terminal, int terminalFd = 2);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Wipes the bar, so that other output can start at the beginning of a line.
    void clear();
    // Draws the bar again if the terminal's width, the time left or the work's note (a wait
    // for another program) changed meanwhile.
    void refresh();
    // The bytes the next operation works through, when the command knows them.
    void setWorkBytes(std::optional<std::int64_t> bytes) { workBytes_ = bytes; }

    // "Título [#####.....]  50 % extra" in at most `columns` - 1 characters: the bar shrinks,
    // then `extra` goes, then the title is cut; the fraction is clamped to [0, 1].
    static std::string line(const std::string& title, double fraction, int columns,
                            const std::string& extra = "");
    // "12,5 MB/s, quedan 3 s": the throughput when `bytes` are known, and the time left; empty
    // before there is anything to go by.
    static std::string rateAndTimeLeft(double fraction, double seconds,
                                       std::optional<std::int64_t> bytes);
    // Whether $TERM names a terminal that cannot redraw a line (unset or "dumb").
    static bool dumbTerminal();

  private:
    void changed(WorkspaceField field);
    void draw();
    int columns() const;

    WorkspaceModel& model_;
    std::ostream& out_;
    bool terminal_;
    int terminalFd_;
    ObservationRegistrar::Token token_;
    bool shown_ = false;
    std::string lastFrame_;
    std::optional<std::int64_t> workBytes_;
    std::string note_; // what the running work says it waits for
    std::chrono::steady_clock::time_point started_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

} // namespace vexa
