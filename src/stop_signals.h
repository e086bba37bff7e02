#pragma once

#include <csignal>

/// Blocks every signal that can be blocked (all but SIGKILL and SIGSTOP) and
/// that is not raised by a fault of the run's own (SIGSEGV and its kin), so
/// that nothing ends or stops a run while the port is in display mode: one that
/// arrives meanwhile takes effect once the old settings are back. Fills
/// `old_mask` with the mask in force before, even on failure; false, with
/// errno set and the mask as it was, when nothing could be blocked. SIGKILL
/// cannot be blocked: a run killed by it can leave the display settings on.
bool block_signals(sigset_t& old_mask);

/// Puts `old_mask` back; a signal that arrived meanwhile is delivered now and
/// takes its usual effect.
void restore_signal_mask(const sigset_t& old_mask);
