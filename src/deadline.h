#pragma once

#include <csignal>
#include <ctime>

/// A deadline for the run's blocking calls. Whether it has passed is the word of
/// CLOCK_MONOTONIC against `end`, never of a signal. While it is set, a call
/// still blocked when it passes returns with EINTR, and so does every blocking
/// call after it (the timer goes on firing until the deadline is cleared, so
/// one that lands just before a call blocks is not lost).
///
/// The timer's signal is SIGALRM, caught only while a deadline is set. One that
/// another process sends meanwhile is raised again when the deadline is
/// cleared, so it takes its usual effect then, or once the old mask is back.
/// This file alone handles SIGALRM and unblocks it.
/// The time on CLOCK_MONOTONIC `milliseconds` from now, and whether the clock
/// has reached such a time.
timespec monotonic_after(int milliseconds);
bool monotonic_reached(const timespec& end);

struct Deadline {
  timespec end{};  // CLOCK_MONOTONIC
  timer_t timer{};
  struct sigaction old_action {};  // SIGALRM's, put back when cleared
  sigset_t old_mask{};
};

/// Sets `deadline` `milliseconds` from now. False, with errno set, when no
/// timer can be had: nothing is bounded then and `deadline` needs no clearing.
bool set_deadline(Deadline& deadline, int milliseconds);

bool deadline_passed(const Deadline& deadline);

/// Stops the timer and puts SIGALRM's handling and the signal mask back. A
/// timer signal still pending is dropped; one from another process is raised
/// again.
void clear_deadline(Deadline& deadline);
