#include "display/port_fault.h"

namespace {

// The one rule: the first trouble stands, but a hangup explains what came
// before it.
bool note(PortFault& fault, const PortFault& trouble) {
  if (!port_failed(fault) || trouble.trouble == PortTrouble::kHungUp) {
    fault = trouble;
  }
  return false;
}

}  // namespace

bool port_failed(const PortFault& fault) { return fault.trouble != PortTrouble::kNone; }

bool note_step_failed(PortFault& fault, const char* step, int error) {
  PortFault trouble{PortTrouble::kStepFailed};
  trouble.step = step;
  trouble.error = error;
  return note(fault, trouble);
}

bool note_busy(PortFault& fault) { return note(fault, PortFault{PortTrouble::kBusy}); }

bool note_no_turn(PortFault& fault, const char* lock_path, int error) {
  PortFault trouble{PortTrouble::kNoTurn};
  trouble.lock_path = lock_path;
  trouble.error = error;
  return note(fault, trouble);
}

bool note_stalled(PortFault& fault) { return note(fault, PortFault{PortTrouble::kStalled}); }

bool note_cannot_drive(PortFault& fault, const LineSettings& kept) {
  PortFault trouble{PortTrouble::kCannotDrive};
  trouble.now = kept;
  return note(fault, trouble);
}

bool note_not_restored(PortFault& fault, const LineSettings& saved, const LineSettings& now) {
  PortFault trouble{PortTrouble::kNotRestored};
  trouble.saved = saved;
  trouble.now = now;
  return note(fault, trouble);
}

bool note_hangup(PortFault& fault, HangupEnd end) {
  PortFault trouble{PortTrouble::kHungUp};
  trouble.hangup = end;
  return note(fault, trouble);
}
