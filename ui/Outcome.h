#pragma once

namespace vexa {

// What one command came to. Its number is the program's exit status when a script stops there.
enum class Outcome : int {
    done = 0,
    failed = 1,    // an operation failed, or the model refused it with an error
    usage = 2,     // an unknown command, a wrong argument, a row or file that is not there
    cancelled = 3, // a cancelled operation or question
};

// A run ended by signal N exits with 128 + N, as shells report it.
constexpr int signalExitStatus(int signal) {
    return 128 + signal;
}

} // namespace vexa
