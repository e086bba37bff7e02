#pragma once

#include <cstddef>

#include "display/port_fault.h"

/// Every word the user reads from dualrow, and where it goes: the usage line on
/// standard output, and on standard error each failure, prefixed with the
/// device's path. Nothing is left to do when a stream is gone; the exit status
/// still tells.

/// The usage line, for a run without text.
void print_usage();

/// The trouble `fault` records, in words (without the device's path).
void describe_fault(const PortFault& fault, char* text, std::size_t size);

/// `describe_fault`, on standard error.
void report_port_fault(const PortFault& fault);
