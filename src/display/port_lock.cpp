#include "display/port_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "deadline.h"

namespace {

constexpr int kLockPollMs = 10;         // milliseconds between tries for another run's lock
constexpr mode_t kLockFileMode = 0660;  // the place's group: every user of the port

// Closes `fd`, keeping errno for the caller's report, and returns `result`.
int abandon(int fd, int result) {
  const int error = errno;
  close(fd);
  errno = error;
  return result;
}

// Short tries against the clock, so the wait needs no signal and cannot
// mistake another failure for a busy lock. -1 with errno set on a failure,
// EWOULDBLOCK once `give_up` has passed.
int take_lock(int fd, const timespec& give_up) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK || monotonic_reached(give_up)) {
      return -1;
    }
    const timespec pause{0, static_cast<long>(kLockPollMs) * 1'000'000};
    nanosleep(&pause, nullptr);
  }
  return 0;
}

// The place as a descriptor that can reach nothing but names in it (O_PATH),
// never through a link. -1 with errno ENOENT when there is no trusted place:
// missing, no directory, or open to more than the port's users.
int open_lock_place(const char* place) {
  const int dir = open(place, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) {
    // ENOTDIR: a link or a file there, which only root could have put in /run.
    errno = errno == ENOTDIR ? ENOENT : errno;
    return -1;
  }
  struct stat attributes {};
  if (fstat(dir, &attributes) != 0) {
    return abandon(dir, -1);
  }
  if (!trusted_lock_place(attributes, geteuid())) {
    close(dir);
    errno = ENOENT;
    return -1;
  }
  return dir;
}

// The device's lock file in the place, opened for reading (enough for flock)
// and made when missing, readable and writable by the place's group whatever
// the umask. Not followed through a link, not waited on when it is a FIFO.
// Returns the descriptor, or -1 with errno set, or errno 0 when what is there
// is no plain file.
int open_device_lock(int dir, const char* name) {
  constexpr int kFlags = O_RDONLY | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int lock = openat(dir, name, kFlags | O_CREAT | O_EXCL, kLockFileMode);
  if (lock >= 0) {
    (void)fchmod(lock, kLockFileMode);
  } else if (errno == EEXIST) {
    lock = openat(dir, name, kFlags);
  }
  if (lock < 0) {
    // A link is refused with ELOOP and a socket with ENXIO: both are odd files.
    struct stat there {};
    const int error = errno;
    const bool odd =
        fstatat(dir, name, &there, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(there.st_mode);
    errno = odd ? 0 : error;
    return -1;
  }
  struct stat file {};
  if (fstat(lock, &file) != 0) {
    return abandon(lock, -1);
  }
  if (!S_ISREG(file.st_mode)) {
    close(lock);
    errno = 0;
    return -1;
  }
  return above_standard_streams(lock);
}

}  // namespace

bool trusted_lock_place(const struct stat& place, uid_t self) {
  return S_ISDIR(place.st_mode) && (place.st_uid == 0 || place.st_uid == self) &&
         (place.st_mode & S_IRWXO) == 0;
}

int above_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) {
    return fd;
  }
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  return abandon(fd, moved);
}

// Runs take turns: another run's frame and settings change must not
// interleave with ours. The node's lock holds among runs that open the same
// node; the device's lock file also among runs that reach the device through
// other nodes (a container's or a chroot's own /dev).
bool take_port_turn(int fd, const char* place, DeviceLock& lock, PortFault& fault) {
  const timespec give_up = monotonic_after(kLockWaitMs);
  if (take_lock(fd, give_up) != 0) {
    return errno == EWOULDBLOCK ? note_busy(fault) : note_step_failed(fault, nullptr, errno);
  }
  struct stat node {};
  if (fstat(fd, &node) != 0 || !S_ISCHR(node.st_mode)) {
    return true;  // no device to meet on; the settings' save refuses what is no terminal
  }
  char name[24];
  (void)std::snprintf(name, sizeof name, "%u:%u", major(node.st_rdev), minor(node.st_rdev));
  (void)std::snprintf(lock.path, sizeof lock.path, "%s/%s", place, name);
  const int dir = open_lock_place(place);
  if (dir < 0) {
    return errno == ENOENT || note_no_turn(fault, lock.path, errno);
  }
  lock.fd = open_device_lock(dir, name);
  (void)abandon(dir, 0);
  if (lock.fd < 0) {
    return note_no_turn(fault, lock.path, errno);
  }
  if (take_lock(lock.fd, give_up) != 0) {
    const int error = errno;
    lock.fd = abandon(lock.fd, -1);
    // A file system with no locks is no meeting place.
    return error == ENOLCK ||
           (error == EWOULDBLOCK ? note_busy(fault) : note_no_turn(fault, lock.path, error));
  }
  return true;
}
