#pragma once

#include <sys/types.h>

#include <cstddef>

#include "deadline.h"
#include "display/line_settings.h"
#include "display/port_fault.h"
#include "display/port_lock.h"

/// Everything done to the display's serial port: opening and locking it,
/// driving it at 9600 baud 8E2 raw once the port confirms it, sending bytes
/// within a bound, and putting back the settings that were in force before.
/// Each step that fails is noted in the run's PortFault; nothing is sent under
/// settings the port did not confirm.

inline constexpr char kDevicePath[] = "/dev/ttyS0";
inline constexpr int kOutputBoundMs = 2'000;  // milliseconds for the frame's writes and drain

/// The settings found on the port and the device they belong to; `valid` is
/// false when they could not be read, and then nothing was changed.
struct SavedSettings {
  LineSettings settings{};
  dev_t device = 0;
  bool valid = false;
};

/// An open port: the descriptor, and the device's lock file.
struct OpenPort {
  int fd = -1;
  DeviceLock lock;
};

/// Opens `path` for reading and writing without becoming its controlling
/// terminal and without waiting for carrier, takes the run's turn on it
/// (take_port_turn, with the lock file in `lock_place`; held until close_port)
/// and leaves a blocking descriptor above the standard streams. False, with the
/// trouble noted and nothing held, when the port cannot be opened or its turn had.
bool open_port(const char* path, const char* lock_place, OpenPort& port, PortFault& fault);

/// `open_port(kDevicePath, kLockPlace, port, fault)`.
bool open_display_port(OpenPort& port, PortFault& fault);

/// Closes the port, which releases both locks.
void close_port(OpenPort& port);

/// Saves the port's settings, discards pending input, applies the display
/// settings at once and reads them back. True only when the port drives its
/// line as the display needs, whatever the apply itself said; when the
/// settings could not be saved, nothing was changed.
bool configure_display_port(int fd, SavedSettings& saved, PortFault& fault);

/// Starts `bound` on the frame's writes and drain together. False, with the
/// fault noted, when it cannot be set: then nothing may be sent.
bool start_output_bound(Deadline& bound, PortFault& fault);

/// Writes all `count` bytes, finishing short writes and retrying EINTR until
/// `bound` passes. False, with the failed write or the stall noted, when it
/// could not.
bool write_all(int fd, const void* bytes, std::size_t count, const Deadline& bound,
               PortFault& fault);

/// Waits, within `bound`, until every byte written has left the port. When it
/// cannot, drops what is still queued, so that none of it leaves under the
/// settings put back afterwards.
bool drain_display_port(int fd, const Deadline& bound, PortFault& fault);

/// Puts the saved settings back at once and reads them back: a port that kept
/// other settings than were saved is noted, with what could not be put back.
/// Does nothing when none were saved. After a hangup the descriptor answers
/// only EIO: the settings go back through a fresh open of the same device
/// (`path` only when it is that device still).
void restore_port_settings(int fd, const char* path, const SavedSettings& saved, PortFault& fault);
