#include "write_all.h"

#include <unistd.h>

#include <cerrno>

int write_all(int fd, const void* bytes, std::size_t count, const Deadline* deadline) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    if (deadline != nullptr && deadline_passed(*deadline)) {
      return ETIMEDOUT;
    }
    const ssize_t written = write(fd, next, count);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return written == 0 ? EIO : errno;  // a file that takes nothing would loop forever
    }
    next += written;
    count -= static_cast<std::size_t>(written);
  }
  return 0;
}
