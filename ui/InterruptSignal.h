#pragma once

namespace vexa {

// Ctrl-C as the cancel button, SIGTERM and SIGHUP as a cancel that ends the program, and the
// terminal's resizing: the handlers only raise flags, which the main thread takes.
// SIGINT lets a blocked read go on (a prompt waiting for a line keeps waiting); SIGTERM and
// SIGHUP make it fail, so a run blocked on its input still ends. In a script (`scripted`), SIGINT
// ends the run as SIGTERM does, with its own status.
void installInterruptHandler(bool scripted = false);
// True once for every interrupt since the last call.
bool takeInterrupt();
// The termination signal received (SIGTERM or SIGHUP, and SIGINT in a script), or 0. It stays
// set.
int terminationSignal();
// True once after every change of the terminal's size.
bool takeResize();

} // namespace vexa
