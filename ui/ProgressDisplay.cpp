#include "ui/ProgressDisplay.h"

#include "platform/TextRules.h"
#include "ui/SafeText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <sys/ioctl.h>

namespace vexa {

namespace {

// Throughput and time left appear once the work has lasted this long.
constexpr double longWorkSeconds = 3;
constexpr int minimumBar = 10;

int shownWidth(const std::string& text) {
    return static_cast<int>(text::unicodeScalarCount(text));
}

// The first `count` characters of a UTF-8 text.
std::string firstCharacters(const std::string& text, int count) {
    std::size_t at = 0;
    for (int n = 0; n < count && at < text.size(); ++n)
        at += text::scalarAt(text, at).length;
    return text.substr(0, at);
}

std::string decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.1f" : "%.0f", value);
    std::string shown = text;
    std::replace(shown.begin(), shown.end(), '.', ',');
    return shown;
}

} // namespace

ProgressDisplay::ProgressDisplay(WorkspaceModel& model, std::ostream& out, bool terminal,
                                 int terminalFd)
    : model_(model), out_(out), terminal_(terminal), terminalFd_(terminalFd) {
    token_ = model_.observation().subscribe([this](WorkspaceField field) { changed(field); });
}

ProgressDisplay::~ProgressDisplay() {
    model_.observation().unsubscribe(token_);
}

std::string ProgressDisplay::line(const std::string& title, double fraction, int columns,
                                  const std::string& extra) {
    if (!(fraction >= 0)) // NaN too
        fraction = 0;
    fraction = std::min(fraction, 1.0);
    const int percent = static_cast<int>(std::floor(fraction * 100));
    std::string percentText = std::to_string(percent) + " %";
    percentText.insert(0, static_cast<std::size_t>(5 - shownWidth(percentText)), ' ');
    const int room = columns - 1; // the last column would wrap on some terminals
    // " [" + bar + "] " + percent, then " " + extra
    const int fixed = 4 + 5;
    std::string shownTitle = title;
    std::string shownExtra = extra.empty() ? "" : " " + extra;
    int bar = room - fixed - shownWidth(shownTitle) - shownWidth(shownExtra);
    if (bar < minimumBar) {
        shownExtra.clear();
        bar = room - fixed - shownWidth(shownTitle);
    }
    if (bar < minimumBar) {
        bar = minimumBar;
        shownTitle = firstCharacters(title, std::max(room - fixed - bar - 1, 0)) + "…";
    }
    const int filled = static_cast<int>(std::floor(fraction * bar));
    return shownTitle + " [" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(bar - filled), '.') + "] " + percentText +
           shownExtra;
}

std::string ProgressDisplay::rateAndTimeLeft(double fraction, double seconds,
                                             std::optional<std::int64_t> bytes) {
    if (!(fraction > 0) || fraction >= 1 || seconds < longWorkSeconds)
        return {};
    std::string text;
    if (bytes && *bytes > 0) {
        const double perSecond = fraction * static_cast<double>(*bytes) / seconds;
        static const char* units[] = {"B/s", "kB/s", "MB/s", "GB/s"};
        double value = perSecond;
        int unit = 0;
        while (value >= 1000 && unit < 3) {
            value /= 1000;
            ++unit;
        }
        text = decimal(value) + " " + units[unit] + ", ";
    }
    const auto left = static_cast<std::int64_t>(std::ceil(seconds * (1 - fraction) / fraction));
    if (left >= 3600)
        text += "quedan " + std::to_string(left / 3600) + " h " + std::to_string(left / 60 % 60) +
                " min";
    else if (left >= 60)
        text += "quedan " + std::to_string(left / 60) + " min " + std::to_string(left % 60) + " s";
    else
        text += "quedan " + std::to_string(left) + " s";
    return text;
}

bool ProgressDisplay::dumbTerminal() {
    const char* term = std::getenv("TERM");
    return !term || !*term || std::string(term) == "dumb";
}

int ProgressDisplay::columns() const {
    winsize size{};
    if (::ioctl(terminalFd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    if (const char* columns = std::getenv("COLUMNS"); columns && std::atoi(columns) > 0)
        return std::atoi(columns);
    return 80;
}

void ProgressDisplay::clear() {
    if (terminal_ && shown_)
        out_ << std::string("\r\033[K") << std::flush;
    shown_ = false;
    lastFrame_.clear();
}

void ProgressDisplay::refresh() {
    if (!model_.isBusy())
        return;
    // The engine's own word on what it waits for, shown while it lasts; a log gets it once.
    std::string note = model_.progress() ? model_.progress()->additionalDescription() : "";
    if (note != note_) {
        note_ = std::move(note);
        if (!terminal_ && !note_.empty())
            out_ << printable(note_) + "\n" << std::flush;
    }
    if (terminal_ && shown_)
        draw();
}

void ProgressDisplay::changed(WorkspaceField field) {
    if (field != WorkspaceField::fraction && field != WorkspaceField::operationTitle &&
        field != WorkspaceField::isBusy && field != WorkspaceField::isCancelling)
        return;
    if (!model_.isBusy()) {
        clear();
        workBytes_.reset();
        note_.clear();
        return;
    }
    if (field == WorkspaceField::isBusy) {
        started_ = std::chrono::steady_clock::now();
        // The model sets the title after the busy flag, so the first drawing waits until the
        // loop has control again.
        std::weak_ptr<int> alive = lifetime_;
        model_.loop().post([this, alive] {
            if (alive.expired() || !model_.isBusy())
                return;
            if (terminal_)
                draw();
            else
                out_ << printable(model_.operationTitle()) + "…\n" << std::flush;
        });
    } else if (terminal_) {
        draw();
    }
}

void ProgressDisplay::draw() {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::string extra = model_.isCancelling()
                            ? std::string("(cancelando…)")
                            : rateAndTimeLeft(model_.fraction(), seconds, workBytes_);
    // While the work waits, what it waits for stands in the title's place: a narrow line drops
    // the extra text first, and the wait is what the user needs to see.
    const std::string title = note_.empty() ? model_.operationTitle() : note_;
    const std::string frame = line(printable(title), model_.fraction(), columns(), extra);
    if (frame == lastFrame_)
        return;
    lastFrame_ = frame;
    // One write per frame: the whole line, then the rest of the old one wiped.
    out_ << "\r" + frame + "\033[K" << std::flush;
    shown_ = true;
}

} // namespace vexa
