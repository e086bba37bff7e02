#include "stop_signals.h"

sigset_t hold_stop_signals() {
  // Not only the usual four: SIGUSR1, SIGPIPE, SIGALRM and the rest end the
  // process by default too, and SIGTSTP or SIGTTOU would stop it holding the lock.
  sigset_t all{};
  sigfillset(&all);
  sigset_t previous{};
  sigprocmask(SIG_BLOCK, &all, &previous);
  return previous;
}

void release_stop_signals(const sigset_t& previous) {
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}
