#pragma once

/// A bound on the run's blocking calls. While a deadline is set, a call still
/// blocked when it passes returns with EINTR, and so does every blocking call
/// after it (the timer goes on firing until the deadline is cleared, so one
/// that lands just before a call blocks is not lost); `deadline_passed` tells
/// that interruption from any other. `set_deadline` returns false with errno
/// set when no timer can be had: nothing is bounded then.
///
/// The timer's signal is SIGALRM, caught only while a deadline is set. One that
/// another process sends meanwhile is raised again when the deadline is cleared,
/// so it takes its usual effect then, or once held signals are released.
bool set_deadline(int milliseconds);

bool deadline_passed();

/// Stops the timer, forgets whether it passed, and puts SIGALRM's handling and
/// the signal mask back.
void clear_deadline();
