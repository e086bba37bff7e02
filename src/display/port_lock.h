#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "display/port_fault.h"

/// A run's turn on the port: a `flock` on its node and on the device's lock file
/// in a place only the port's users can reach. Without such a place the node's
/// lock alone holds; inside it, a lock file that cannot be had ends the run.

// Made at boot by the packages' tmpfiles.d entry: root's, the port's group's.
inline constexpr char kLockPlace[] = "/run/dualrow";
inline constexpr int kLockWaitMs = 10'000;  // milliseconds another run may hold the port

/// The device's lock file, e.g. "/run/dualrow/4:64" for the first 8250, and the
/// descriptor that holds it (-1 where there is no lock place: then the node's
/// own lock is the only one).
struct DeviceLock {
  int fd = -1;
  char path[64] = "";
};

/// True when a place with these attributes can be reached only by root, by
/// `self` and by the place's group.
bool trusted_lock_place(const struct stat& place, uid_t self);

/// Moves `fd` off descriptors 0 to 2, closing the original: open() takes the
/// lowest free number, and a caller that closed its standard output would
/// otherwise get the usage line or a message written into the port or a lock.
/// Returns the new descriptor, or -1 with errno set (then `fd` is closed).
int above_standard_streams(int fd);

/// Waits up to kLockWaitMs in all for the node's lock on `fd` and then, when
/// `place` is trusted, for the device's lock file in it (made there, mode 0660,
/// when missing). Both go with their descriptors. False, with the trouble noted
/// (the node's lock failed, busy, or the lock file cannot be had), when the turn
/// is not ours; a place that is missing, untrusted, or on a file system that
/// cannot lock (ENOLCK) leaves `lock.fd` at -1, and the turn is ours.
bool take_port_turn(int fd, const char* place, DeviceLock& lock, PortFault& fault);
