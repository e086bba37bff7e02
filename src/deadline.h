#pragma once

#include <csignal>
#include <ctime>

/// A deadline for the run's blocking calls, judged by CLOCK_MONOTONIC against
/// `end`, never by a signal. While it is set, a timer's SIGALRM interrupts a
/// blocked call (EINTR), and goes on firing until it is cleared, so that one
/// landing just before a call blocks is not lost. This file alone handles
/// SIGALRM; one sent by another process meanwhile is raised again on clearing.

/// The time on CLOCK_MONOTONIC `milliseconds` from now, and whether it has come.
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
