#pragma once

#include <termios.h>

#include <cstddef>

/// Everything done to the display's serial port: opening and locking it,
/// driving it at 9600 baud 8E2 raw, sending bytes within a bound, and putting
/// back the settings that were in force before. Each step that fails is noted
/// in the run's PortFault and the run goes on as far as it safely can.

inline constexpr char kDevicePath[] = "/dev/ttyS0";

inline constexpr int kLockWaitMs = 10'000;    // milliseconds another run may hold the port
inline constexpr int kOutputBoundMs = 2'000;  // milliseconds for the frame's writes and drain

/// The first thing that went wrong with the port in a run, in words for the
/// caller: the step ("" for a write) and the system's text for its error, or
/// why the bound ran out. Later failures leave it as it is.
struct PortFault {
  const char* step = nullptr;
  const char* reason = nullptr;  // nullptr while nothing has failed
};

/// The settings found on the port; `valid` is false when they could not be read.
struct SavedSettings {
  termios settings{};
  bool valid = false;
};

/// Opens `path` for reading and writing without becoming its controlling
/// terminal and without waiting for carrier, then waits up to kLockWaitMs for
/// an exclusive `flock` on it (held until the descriptor is closed) and returns
/// a blocking descriptor above the standard streams. Returns -1 with errno set
/// on failure, EWOULDBLOCK when another process kept the lock.
int open_port(const char* path);

/// `open_port(kDevicePath)`.
int open_display_port();

/// The display settings, built from zero: 9600 baud, 8 data bits, even parity,
/// 2 stop bits, receiver on, carrier honoured, no flow control, raw, reads time
/// out after 0.1 s.
termios make_display_settings();

/// Saves the port's settings, discards pending input and applies the display
/// settings at once.
SavedSettings configure_display_port(int fd, PortFault& fault);

/// Starts the bound on the frame's writes and drain together. False, with the
/// fault noted, when it cannot be set: then nothing may be sent.
bool start_output_bound(PortFault& fault);

/// Ends the bound. When it ran out, drops what is still queued for the port, so
/// that none of it leaves under the settings put back afterwards.
void end_output_bound(int fd, PortFault& fault);

/// Writes all `count` bytes, finishing short writes and retrying EINTR until
/// the bound runs out. Returns false with errno set when a write fails.
bool write_all(int fd, const void* bytes, std::size_t count);

/// Notes that `step` failed with errno, or that the bound ran out; returns false.
bool note_port_failure(PortFault& fault, const char* step);

/// Waits, within the bound, until every byte written has left the port, so
/// that none is sent under the settings put back afterwards.
bool drain_display_port(int fd, PortFault& fault);

/// Puts the saved settings back at once; does nothing when none were saved.
void restore_port_settings(int fd, const SavedSettings& saved, PortFault& fault);
