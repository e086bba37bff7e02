#include "deadline.h"

#include <csignal>
#include <ctime>

namespace {

constexpr long kRefireNs =
    50'000'000;  // nanoseconds between interruptions once the deadline passed

volatile sig_atomic_t passed = 0;
volatile sig_atomic_t foreign_alarm = 0;
timer_t timer{};
struct sigaction outside_action {};
sigset_t outside_mask{};

void on_alarm(int /*signal*/, siginfo_t* info, void* /*context*/) {
  if (info->si_code == SI_TIMER) {
    passed = 1;
  } else {
    foreign_alarm = 1;
  }
}

}  // namespace

bool set_deadline(int milliseconds) {
  passed = 0;
  foreign_alarm = 0;
  struct sigaction action {};
  action.sa_sigaction = on_alarm;
  // No SA_RESTART: the interrupted call must come back to its caller.
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGALRM;
  if (sigaction(SIGALRM, &action, &outside_action) != 0) {
    return false;
  }
  if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) {
    sigaction(SIGALRM, &outside_action, nullptr);
    return false;
  }
  itimerspec when{};
  when.it_value.tv_sec = milliseconds / 1000;
  when.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1'000'000;
  when.it_interval.tv_nsec = kRefireNs;
  // The signals held around the port's display mode include SIGALRM; the timer
  // must get through them.
  sigset_t alarm{};
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alarm, &outside_mask);
  if (timer_settime(timer, 0, &when, nullptr) != 0) {
    clear_deadline();
    return false;
  }
  return true;
}

bool deadline_passed() { return passed != 0; }

void clear_deadline() {
  // A timer signal already pending is taken by on_alarm on the way out of this
  // call, while SIGALRM is still unblocked and caught.
  timer_delete(timer);
  passed = 0;
  sigaction(SIGALRM, &outside_action, nullptr);
  sigprocmask(SIG_SETMASK, &outside_mask, nullptr);
  if (foreign_alarm != 0) {
    (void)raise(SIGALRM);
  }
}
