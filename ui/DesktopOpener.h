#pragma once

#include <filesystem>

namespace vexa {

// Hands a file or folder to the desktop's own opener (xdg-open), as the file manager would open
// it. Only when a desktop session is there ($DISPLAY or $WAYLAND_DISPLAY) and xdg-open is on
// the PATH; the opener runs on its own, and the program does not wait for it. False when it
// could not be started.
bool openWithDesktop(const std::filesystem::path& location);

// Whether a file looks like text: its first kilobytes are UTF-8 without NUL bytes.
bool looksLikeText(const std::filesystem::path& file);

// Shows a text file with the user's $PAGER (else "less", else "more") on the terminal and waits
// until it ends. False when no pager could be run.
bool showInPager(const std::filesystem::path& file);

} // namespace vexa
