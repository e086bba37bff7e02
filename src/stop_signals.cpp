#include "stop_signals.h"

#include <initializer_list>

bool hold_all_signals(sigset_t& outside) {
  // Not only the usual four: SIGUSR1, SIGPIPE, SIGALRM and the rest end the
  // process by default too, and SIGTSTP or SIGTTOU would stop it holding the lock.
  // Not the faults a bad instruction raises: blocked, they are undefined
  // behaviour, and a crash must still end the run and be reported.
  sigset_t all{};
  sigfillset(&all);
  for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
    sigdelset(&all, fault);
  }
  // Read first: a failed SIG_BLOCK leaves `outside` unspecified, and putting
  // that back would unblock what the caller had blocked.
  if (sigprocmask(SIG_BLOCK, nullptr, &outside) != 0) {
    return false;
  }
  return sigprocmask(SIG_BLOCK, &all, nullptr) == 0;
}

void release_held_signals(const sigset_t& outside) { sigprocmask(SIG_SETMASK, &outside, nullptr); }

namespace {

sigset_t only_alarm() {
  sigset_t alarm{};
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  return alarm;
}

}  // namespace

void let_alarm_through(sigset_t& before) {
  const sigset_t alarm = only_alarm();
  sigprocmask(SIG_UNBLOCK, &alarm, &before);
}

void hold_alarm() {
  const sigset_t alarm = only_alarm();
  sigprocmask(SIG_BLOCK, &alarm, nullptr);
}
