#include "display/port_lock.h"

#include <sys/file.h>

#include <cerrno>
#include <ctime>

#include "deadline.h"

namespace {

constexpr int kLockPollMs = 10;  // milliseconds between tries for another run's lock

}  // namespace

// The lock lives on the node's inode, so a symlink, a bind mount or a second
// devtmpfs mount of the node meets it; a node made apart with mknod does not.
// Short tries against the clock: the wait needs no signal and cannot mistake
// another failure for a busy lock.
bool lock_port(int fd, PortFault& fault) {
  const timespec give_up = monotonic_after(kLockWaitMs);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      return note_step_failed(fault, nullptr, errno);
    }
    if (monotonic_reached(give_up)) {
      return note_busy(fault);
    }
    const timespec pause{0, static_cast<long>(kLockPollMs) * 1'000'000};
    nanosleep(&pause, nullptr);
  }
  return true;
}
