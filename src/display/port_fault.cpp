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
  return note(fault, {.trouble = PortTrouble::kStepFailed, .step = step, .error = error});
}

bool note_busy(PortFault& fault) { return note(fault, {.trouble = PortTrouble::kBusy}); }

bool note_stalled(PortFault& fault) { return note(fault, {.trouble = PortTrouble::kStalled}); }

bool note_cannot_drive(PortFault& fault, const LineSettings& asked, const LineSettings& read_back) {
  return note(fault, {.trouble = PortTrouble::kCannotDrive, .asked = asked, .now = read_back});
}

bool note_not_restored(PortFault& fault, const LineSettings& saved, const LineSettings& now) {
  return note(fault, {.trouble = PortTrouble::kNotRestored, .saved = saved, .now = now});
}

bool note_hangup(PortFault& fault, HangupEnd end) {
  return note(fault, {.trouble = PortTrouble::kHungUp, .hangup = end});
}
