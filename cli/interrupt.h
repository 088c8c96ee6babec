// interrupt.h -- SIGINT and SIGTERM (Ctrl+C on Windows) turned into a clean stop
#pragma once

#include <csignal>

// From now on an interrupt only raises the flag: the run is stopped through
// the host's abort test, the module disposes of its stores, and the program
// removes its own unfinished file before it ends.
void catchInterrupts();
// Non-zero once an interrupt arrived.
const volatile std::sig_atomic_t* interruptFlag();
// Ends the process as the interrupt would have ended it (exit status 128 + signal).
[[noreturn]] void exitInterrupted();
