#include "ui/ProgressDisplay.h"

#include <algorithm>
#include <cmath>
#include <ostream>

namespace vexa {

ProgressDisplay::ProgressDisplay(WorkspaceModel& model, std::ostream& out, bool terminal)
    : model_(model), out_(out), terminal_(terminal) {
    token_ = model_.observation().subscribe([this](WorkspaceField field) { changed(field); });
}

ProgressDisplay::~ProgressDisplay() {
    model_.observation().unsubscribe(token_);
}

std::string ProgressDisplay::line(const std::string& title, double fraction, int width) {
    if (!(fraction >= 0)) // NaN too
        fraction = 0;
    fraction = std::min(fraction, 1.0);
    const int filled = static_cast<int>(std::floor(fraction * width));
    const int percent = static_cast<int>(std::floor(fraction * 100));
    std::string text = title + " [" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(width - filled), '.') + "] ";
    if (percent < 100)
        text += ' ';
    if (percent < 10)
        text += ' ';
    return text + std::to_string(percent) + " %";
}

void ProgressDisplay::clear() {
    if (terminal_ && shown_)
        out_ << "\r\033[K" << std::flush;
    shown_ = false;
}

void ProgressDisplay::changed(WorkspaceField field) {
    if (field != WorkspaceField::fraction && field != WorkspaceField::operationTitle &&
        field != WorkspaceField::isBusy && field != WorkspaceField::isCancelling)
        return;
    if (!model_.isBusy()) {
        clear();
        return;
    }
    if (field == WorkspaceField::isBusy) {
        // The model sets the title after the busy flag, so the first drawing waits until the
        // loop has control again.
        std::weak_ptr<int> alive = lifetime_;
        model_.loop().post([this, alive] {
            if (alive.expired() || !model_.isBusy())
                return;
            if (terminal_)
                draw();
            else
                out_ << model_.operationTitle() << "…\n" << std::flush;
        });
    } else if (terminal_) {
        draw();
    }
}

void ProgressDisplay::draw() {
    std::string text = line(model_.operationTitle(), model_.fraction());
    if (model_.isCancelling())
        text += " (cancelando…)";
    out_ << "\r\033[K" << text << std::flush;
    shown_ = true;
}

} // namespace vexa
