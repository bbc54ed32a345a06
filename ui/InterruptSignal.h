#pragma once

namespace vexa {

// Ctrl-C as the cancel button: SIGINT only raises a flag (read calls go on as before), and the
// main loop takes it with takeInterrupt().
void installInterruptHandler();
// True once for every interrupt since the last call.
bool takeInterrupt();

} // namespace vexa
