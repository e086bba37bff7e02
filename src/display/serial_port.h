#pragma once

#include <sys/types.h>

#include "display/line_settings.h"
#include "display/port_fault.h"
#include "display/port_lock.h"

/// The display's serial port from open to close: opening and locking it,
/// driving it at 9600 baud 8E2 raw once the port confirms it, and putting
/// back the settings that were in force before. Each step that fails is noted
/// in the run's PortFault; nothing is sent under settings the port did not
/// confirm (the bytes themselves go through port_output.h).

inline constexpr char kDevicePath[] = "/dev/ttyS0";

/// The settings found on the port and the device they belong to; `valid` is
/// false when they could not be read, and then nothing was changed.
struct SavedSettings {
  LineSettings settings{};
  dev_t device = 0;
  bool valid = false;
};

/// Opens `path` for reading and writing without becoming its controlling
/// terminal and without waiting for carrier, locks it (lock_port; held until
/// close_port) and leaves a blocking descriptor above the standard streams in
/// `fd`. False, with the trouble noted and nothing held, when the port cannot
/// be opened or locked.
bool open_port(const char* path, int& fd, PortFault& fault);

/// `open_port(kDevicePath, fd, fault)`.
bool open_display_port(int& fd, PortFault& fault);

/// Closes the port, which releases its lock.
void close_port(int& fd);

/// Saves the port's settings, discards pending input, applies the display
/// settings at once and reads them back. True only when the port drives its
/// line as the display needs, whatever the apply itself said; when the
/// settings could not be saved, nothing was changed.
bool configure_display_port(int fd, SavedSettings& saved, PortFault& fault);

/// Puts the saved settings back at once and reads them back: a port that kept
/// other settings than were saved is noted, with what could not be put back.
/// Does nothing when none were saved. After a hangup the descriptor answers
/// only EIO: the settings go back through a fresh open of the same device
/// (`path` only when it is that device still).
void restore_port_settings(int fd, const char* path, const SavedSettings& saved, PortFault& fault);
