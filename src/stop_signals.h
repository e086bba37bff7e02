#pragma once

#include <csignal>

/// Holds back every signal that can be held (all but SIGKILL and SIGSTOP), so
/// that nothing ends or stops a run while the port is in display mode: one that
/// arrives meanwhile takes effect once the old settings are back. Returns the
/// mask in force before; a failure leaves the mask as it was. SIGKILL cannot be
/// held: a run killed by it can leave the display settings on the port.
sigset_t hold_stop_signals();

/// Puts `previous` back; a signal that arrived meanwhile is delivered now and
/// takes its usual effect.
void release_stop_signals(const sigset_t& previous);
