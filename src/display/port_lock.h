#pragma once

#include "display/port_fault.h"

/// A run's lock on the port: an exclusive `flock` on the device node itself.
/// Every run that reaches the node, by any path or mount, waits for it; the
/// lock goes with the descriptor. Nothing is made or looked for anywhere else.

inline constexpr int kLockWaitMs = 10'000;  // milliseconds another run may hold the port

/// Waits up to kLockWaitMs for the exclusive lock on the node open at `fd`.
/// False, with the trouble noted (busy, or the lock call failed), when the
/// lock is not ours.
bool lock_port(int fd, PortFault& fault);
