#pragma once

#include <csignal>

/// The run's signal mask: this file alone changes it.

/// Holds back every signal that can be held (all but SIGKILL and SIGSTOP) and
/// that is not raised by a fault of the run's own (SIGSEGV and its kin), so
/// that nothing ends or stops a run while the port is in display mode: one that
/// arrives meanwhile takes effect once the old settings are back. Fills
/// `outside` with the mask in force before, even on failure; false, with errno
/// set and the mask as it was, when nothing could be held. SIGKILL cannot be
/// held: a run killed by it can leave the display settings on the port.
bool hold_all_signals(sigset_t& outside);

/// Puts `outside` back; a signal that arrived meanwhile is delivered now and
/// takes its usual effect.
void release_held_signals(const sigset_t& outside);

/// Lets SIGALRM alone through whatever is held, for the output bound's timer;
/// `before` gets the mask as it was.
void let_alarm_through(sigset_t& before);

/// Holds SIGALRM back again.
void hold_alarm();
