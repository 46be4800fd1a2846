// The holding service's lines: each event of a held entry or set as a line on standard
// error beside the screens, or as a JSON line on standard output.
#ifndef PORTWRANGLER_RENDER_HOLD_LINES_H_
#define PORTWRANGLER_RENDER_HOLD_LINES_H_

#include <memory>

#include "hold/events.h"

/// The sink of a --keep or --hold run: JSON lines with `json`, else text lines (and the
/// first add's screen where the one-shot add shows one).
std::unique_ptr<HoldSink> hold_lines(bool json);

#endif  // PORTWRANGLER_RENDER_HOLD_LINES_H_
