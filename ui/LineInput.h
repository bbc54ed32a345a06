#pragma once

#include <string>

namespace vexa {

// How reading one line ended: a line (Enter), the end of input (Ctrl-D on an empty line, a
// closed pipe, or a termination signal), or Ctrl-C.
enum class LineEnd { text, endOfInput, interrupted };

struct ReadLine {
    LineEnd end = LineEnd::text;
    std::string text; // what was typed, without the line end (also when interrupted)
};

} // namespace vexa
