#pragma once

#include "display/line_settings.h"

/// What went wrong with the port in a run, kept as facts; the words for it are
/// chosen once, at the end of the run (messages.h). The first trouble is kept
/// and later ones are dropped, but for a hangup, which explains what failed
/// before it and so takes its place.

enum class PortTrouble {
  kNone,
  kStepFailed,   // `step` failed with `error` (no step: the call's error says it all)
  kBusy,         // another process held the port's lock all the lock wait
  kStalled,      // the frame did not leave within the output deadline
  kCannotDrive,  // the port holds `now`, which does not drive the display's line
  kNotRestored,  // the saved settings did not all come back: `saved` against `now`
  kHungUp,       // the line was hung up; `hangup` says how it ended
};

enum class HangupEnd {
  kRestored,     // the old settings went back through a fresh open
  kGone,         // the device went away
  kNotRestored,  // even a fresh open could not put them back
  kElsewhere,    // the path leads to another device now
};

struct PortFault {
  PortTrouble trouble = PortTrouble::kNone;
  const char* step = nullptr;
  int error = 0;         // errno
  LineSettings asked{};  // kCannotDrive: the display settings
  LineSettings saved{};  // kNotRestored
  LineSettings now{};    // kCannotDrive, kNotRestored: what the port holds
  HangupEnd hangup = HangupEnd::kRestored;
};

bool port_failed(const PortFault& fault);

/// Each notes its trouble in `fault` by the rule above and returns false.
bool note_step_failed(PortFault& fault, const char* step, int error);
bool note_busy(PortFault& fault);
bool note_stalled(PortFault& fault);
bool note_cannot_drive(PortFault& fault, const LineSettings& asked, const LineSettings& read_back);
bool note_not_restored(PortFault& fault, const LineSettings& saved, const LineSettings& now);
bool note_hangup(PortFault& fault, HangupEnd end);
