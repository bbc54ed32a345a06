#pragma once

#include <string>
#include <string_view>

namespace vexa {

// A name as it may be sent to the terminal: control characters (C0, DEL, C1) are written as
// escapes the way bsdtar writes them ("\n", "\t", "\033"…, "\u009B"), bidirectional controls
// as "\u202E", a backslash as "\\", and bytes that are not UTF-8 as "\xHH", so no name can
// move the cursor, change colours, read backwards or break the row list. `keepLineEnds`: a message
// of several lines keeps its line feeds.
std::string printable(std::string_view text, bool keepLineEnds = false);

} // namespace vexa
