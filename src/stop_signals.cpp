#include "stop_signals.h"

sigset_t hold_stop_signals() {
  sigset_t stop{};
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  sigaddset(&stop, SIGQUIT);
  sigset_t previous{};
  sigprocmask(SIG_BLOCK, &stop, &previous);
  return previous;
}

void release_stop_signals(const sigset_t& previous) {
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}
