#pragma once

#include "display/port_fault.h"

/// A run's lock on the port: an exclusive `flock` on the device node itself.
/// Every run that reaches the node, by any path or mount, waits for it; the
/// lock goes with the descriptor. Nothing is made or looked for anywhere else.

inline constexpr int kLockWaitMs = 10'000;  // milliseconds another run may hold the port

/// Moves `fd` off descriptors 0 to 2, closing the original: open() takes the
/// lowest free number, and a caller that closed its standard output would
/// otherwise get the usage line or a message written into the port.
/// Returns the new descriptor, or -1 with errno set (then `fd` is closed).
int above_standard_streams(int fd);

/// Waits up to kLockWaitMs for the exclusive lock on the node open at `fd`.
/// False, with the trouble noted (busy, or the lock call failed), when the
/// lock is not ours.
bool lock_port(int fd, PortFault& fault);
