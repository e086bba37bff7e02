#pragma once

#include <csignal>

/// Holds back the signals that usually end a run from a terminal, a service
/// manager or a hangup (SIGINT, SIGTERM, SIGHUP, SIGQUIT), so that a run
/// stopped mid-way still puts the port's settings back first. Returns the mask
/// in force before; failures leave the mask as it was.
sigset_t hold_stop_signals();

/// Puts `previous` back; a stop signal that arrived meanwhile is delivered now
/// and ends the process as usual.
void release_stop_signals(const sigset_t& previous);
