#include "stop_signals.h"

#include <initializer_list>

bool block_signals(sigset_t& old_mask) {
  // Not only the usual four: SIGUSR1, SIGPIPE, SIGALRM and the rest end the
  // process by default too, and SIGTSTP or SIGTTOU would stop it holding the lock.
  // Not the faults a bad instruction raises: blocked, they are undefined
  // behaviour, and a crash must still end the run and be reported.
  sigset_t all{};
  sigfillset(&all);
  for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
    sigdelset(&all, fault);
  }
  // Read first: a failed SIG_BLOCK leaves `old_mask` unspecified, and putting
  // that back would unblock what the caller had blocked.
  if (sigprocmask(SIG_BLOCK, nullptr, &old_mask) != 0) {
    return false;
  }
  return sigprocmask(SIG_BLOCK, &all, nullptr) == 0;
}

void restore_signal_mask(const sigset_t& old_mask) { sigprocmask(SIG_SETMASK, &old_mask, nullptr); }
