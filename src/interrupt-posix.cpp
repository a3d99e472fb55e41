#include "interrupt.h"

#include <csignal>
#include <initializer_list>
#include <unistd.h>

namespace {

void on_signal(int) {
  if (interrupt_note_request() == INTERRUPT_EXIT_NOW)
    _exit(255);
}

} // namespace

void interrupt_install() {
  // Without SA_RESTART a blocking call that the signal lands in returns
  // early, so the run reaches its next safe point sooner.
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    sigaction(sig, &action, nullptr);
  // Standard output or error may be a pipe whose reader has gone (`orvup ...
  // | head -1`): the write fails and the update goes on to its end.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

void interrupt_cleanup_done() {}
