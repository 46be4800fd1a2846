// The trace: one line per step of a run on standard error, for a user who wants to know
// why a run ended as it did. Off unless the driver turns it on (PORTWRANGLER_TRACE=1);
// standard output is the same either way.
#ifndef PORTWRANGLER_BASE_TRACE_H_
#define PORTWRANGLER_BASE_TRACE_H_

#include "base/error.h"
#include "base/format.h"

/// Turns the trace on or off for the rest of the run.
void trace_enable(bool on);

/// Writes "trace: " and the formatted line to standard error when the trace is on. Texts
/// from outside may go in as they came: the line is made printable first.
void trace(const char* format, ...) PW_PRINTF_FORMAT(1, 2);

/// "Name (-123): what it means" for a trace line.
const char* trace_error(Error error);

#endif  // PORTWRANGLER_BASE_TRACE_H_
