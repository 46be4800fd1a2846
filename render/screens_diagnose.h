// The report of -diagnose on the console: the interfaces searched, every gateway that
// answered, then each finding with its next step, wrapped to the box.
#ifndef PORTWRANGLER_RENDER_SCREENS_DIAGNOSE_H_
#define PORTWRANGLER_RENDER_SCREENS_DIAGNOSE_H_

#include "flows/diagnose.h"

/// Prints the report of `diagnosis`.
void diagnose_show(const Diagnosis& diagnosis);

#endif  // PORTWRANGLER_RENDER_SCREENS_DIAGNOSE_H_
