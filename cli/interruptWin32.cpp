// interruptWin32.cpp -- Ctrl+C and Ctrl+Break caught into a flag
#include <windows.h>

#include <csignal>
#include <cstdlib>

#include "cli/interrupt.h"

namespace {

volatile std::sig_atomic_t caughtSignal = 0;

// Runs on a thread of its own: it only raises the flag, which the run polls.
BOOL WINAPI noteControlEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  caughtSignal = SIGINT;
  return TRUE;
}

void noteSignal(int signalNumber) {
  caughtSignal = signalNumber;
  std::signal(signalNumber, noteSignal);
}

}  // namespace

void catchInterrupts() {
  SetConsoleCtrlHandler(noteControlEvent, TRUE);
  std::signal(SIGTERM, noteSignal);
}

const volatile std::sig_atomic_t* interruptFlag() { return &caughtSignal; }

void exitInterrupted() { std::_Exit(128 + (caughtSignal != 0 ? int(caughtSignal) : SIGINT)); }
