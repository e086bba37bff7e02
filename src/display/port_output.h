#pragma once

#include <cstddef>

#include "deadline.h"
#include "display/port_fault.h"

/// The frame's bytes on their way out: every write and the drain within one
/// deadline, so that a port that takes nothing cannot hold the run.

inline constexpr int kOutputDeadlineMs = 2'000;  // milliseconds for the frame's writes and drain

/// Starts `deadline` on the frame's writes and drain together. False, with the
/// fault noted, when it cannot be set: then nothing may be sent.
bool start_output_deadline(Deadline& deadline, PortFault& fault);

/// Writes all `count` bytes (write_all) before `deadline`. False, with the
/// failed write or the stall noted, when it could not.
bool write_to_port(int fd, const void* bytes, std::size_t count, const Deadline& deadline,
                   PortFault& fault);

/// Waits, within `deadline`, until every byte written has left the port. When it
/// cannot, drops what is still queued, so that none of it leaves under the
/// settings put back afterwards.
bool drain_display_port(int fd, const Deadline& deadline, PortFault& fault);
