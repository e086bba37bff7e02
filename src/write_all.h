#pragma once

#include <cstddef>

#include "deadline.h"

/// Writes all `count` bytes to `fd`, finishing short writes and retrying EINTR,
/// until `deadline` (none: no limit) passes. 0 once all are written; else
/// ETIMEDOUT when the deadline passed, or the failed write's errno.
int write_all(int fd, const void* bytes, std::size_t count, const Deadline* deadline);
