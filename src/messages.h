#pragma once

#include "display/port_fault.h"

/// Every word the user reads from dualrow, and where it goes: the usage line on
/// standard output, and on standard error each failure, prefixed with the
/// device's path. Nothing is left to do when a stream is gone; the exit status
/// still tells.

/// The usage line, for a run without text.
void print_usage();

/// The trouble `fault` records, in words, after the device's path on standard error.
void report_port_fault(const PortFault& fault);
