#pragma once

#include <termios.h>

#include <cstddef>

/// Everything done to the display's serial port: opening and locking it,
/// driving it at 9600 baud 8E2 raw, sending bytes, and putting back the
/// settings that were in force before. Only the open and the writes report
/// failure; a failed settings call leaves the run going.

inline constexpr char kDevicePath[] = "/dev/ttyS0";

/// The settings found on the port; `valid` is false when they could not be read.
struct SavedSettings {
  termios settings{};
  bool valid = false;
};

/// Opens `path` for reading and writing without becoming its controlling
/// terminal and without waiting for carrier, then waits for an exclusive
/// `flock` on it (held until the descriptor closes at exit) and returns a
/// blocking descriptor above the standard streams. Returns -1 with errno set
/// on failure.
int open_port(const char* path);

/// `open_port(kDevicePath)`.
int open_display_port();

/// The display settings, built from zero: 9600 baud, 8 data bits, even parity,
/// 2 stop bits, receiver on, no modem control, raw, reads time out after 0.1 s.
termios make_display_settings();

/// Saves the port's settings, discards pending input and applies the display
/// settings at once. Failures of the settings calls are not reported.
SavedSettings configure_display_port(int fd);

/// Writes all `count` bytes, finishing short writes and retrying EINTR.
/// Returns false with errno set when a write fails.
bool write_all(int fd, const void* bytes, std::size_t count);

/// Waits until every byte written has left the port (retrying EINTR), so that
/// none is sent under the settings put back afterwards.
void drain_display_port(int fd);

/// Puts the saved settings back at once; does nothing when none were saved.
void restore_port_settings(int fd, const SavedSettings& saved);
