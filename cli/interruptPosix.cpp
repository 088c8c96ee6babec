// interruptPosix.cpp -- SIGINT, SIGTERM and SIGHUP caught into a flag
#include <csignal>
#include <initializer_list>

#include <unistd.h>

#include "cli/interrupt.h"

namespace {

volatile std::sig_atomic_t caughtSignal = 0;

void noteSignal(int signalNumber) { caughtSignal = signalNumber; }

}  // namespace

void catchInterrupts() {
  struct sigaction action {};
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  // Restarted calls keep the module's file operations whole; the stop comes
  // through the abort test instead.
  action.sa_flags = SA_RESTART;
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);
}

const volatile std::sig_atomic_t* interruptFlag() { return &caughtSignal; }

void exitInterrupted() {
  const int signalNumber = caughtSignal != 0 ? int(caughtSignal) : SIGINT;
  // Dying of the signal itself tells a calling shell that the user stopped us.
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
  _exit(128 + signalNumber);
}
