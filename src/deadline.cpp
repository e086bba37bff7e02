#include "deadline.h"

#include <cerrno>

namespace {

constexpr long kNsPerSecond = 1'000'000'000;  // nanoseconds
constexpr long kNsPerMs = 1'000'000;          // nanoseconds
constexpr long kRefireNs =
    50'000'000;  // nanoseconds between interruptions once the deadline passed

// Written by the handler, so it cannot live in the caller's Deadline: a
// SIGALRM that was not the timer's, to be raised again once it is cleared.
volatile sig_atomic_t foreign_alarm = 0;

void on_alarm(int /*signal*/, siginfo_t* info, void* /*context*/) {
  if (info->si_code != SI_TIMER) {
    foreign_alarm = 1;
  }
}

sigset_t only_alarm() {
  sigset_t alarm{};
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  return alarm;
}

// With SIGALRM blocked: takes the ones still pending. A timer signal queued
// before timer_delete stays pending after it, and under SIGALRM's own action
// it would end the process once the mask is released.
void take_pending_alarms() {
  const sigset_t alarm = only_alarm();
  const timespec no_wait{};
  siginfo_t info{};
  while (sigtimedwait(&alarm, &info, &no_wait) == SIGALRM) {
    if (info.si_code != SI_TIMER) {
      foreign_alarm = 1;
    }
  }
}

}  // namespace

timespec monotonic_after(int milliseconds) {
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += milliseconds / 1000;
  end.tv_nsec += static_cast<long>(milliseconds % 1000) * kNsPerMs;
  if (end.tv_nsec >= kNsPerSecond) {
    end.tv_sec += 1;
    end.tv_nsec -= kNsPerSecond;
  }
  return end;
}

bool monotonic_reached(const timespec& end) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > end.tv_sec || (now.tv_sec == end.tv_sec && now.tv_nsec >= end.tv_nsec);
}

bool set_deadline(Deadline& deadline, int milliseconds) {
  foreign_alarm = 0;
  deadline.end = monotonic_after(milliseconds);
  struct sigaction action {};
  action.sa_sigaction = on_alarm;
  // No SA_RESTART: the interrupted call must come back to its caller.
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGALRM, &action, &deadline.old_action) != 0) {
    return false;
  }
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGALRM;
  if (timer_create(CLOCK_MONOTONIC, &event, &deadline.timer) != 0) {
    const int error = errno;
    sigaction(SIGALRM, &deadline.old_action, nullptr);
    errno = error;
    return false;
  }
  // The signals blocked around the port's display mode include SIGALRM; the
  // timer's must get through.
  const sigset_t alarm = only_alarm();
  sigprocmask(SIG_UNBLOCK, &alarm, &deadline.old_mask);
  itimerspec when{};
  when.it_value = deadline.end;  // absolute: the first signal comes once the clock says so
  when.it_interval.tv_nsec = kRefireNs;
  if (timer_settime(deadline.timer, TIMER_ABSTIME, &when, nullptr) != 0) {
    const int error = errno;
    clear_deadline(deadline);
    errno = error;
    return false;
  }
  return true;
}

bool deadline_passed(const Deadline& deadline) { return monotonic_reached(deadline.end); }

void clear_deadline(Deadline& deadline) {
  timer_delete(deadline.timer);
  // SIGALRM is blocked before its old action goes back: one that landed in
  // between would otherwise end the run with the display settings on.
  const sigset_t alarm = only_alarm();
  sigprocmask(SIG_BLOCK, &alarm, nullptr);
  take_pending_alarms();
  sigaction(SIGALRM, &deadline.old_action, nullptr);
  sigprocmask(SIG_SETMASK, &deadline.old_mask, nullptr);
  if (foreign_alarm != 0) {
    foreign_alarm = 0;
    (void)raise(SIGALRM);
  }
}
