#include "base/trace.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>

#include "base/format.h"
#include "base/text.h"

namespace {

bool enabled = false;

}  // namespace

void trace_enable(bool on) {
  enabled = on;
}

void trace(const char* format, ...) {
  if (!enabled) return;
  va_list args;
  va_start(args, format);
  try {
    const std::string shown = text_printable(format_text(format, args));
    std::fprintf(stderr, "trace: %s\n", shown.c_str());
    std::fflush(stderr);
  } catch (const std::bad_alloc&) {
    // Without memory the trace says nothing; the run goes on as it would.
  }
  va_end(args);
}

const char* trace_error(Error error) {
  static char text[160];
  std::snprintf(text, sizeof(text), "%s (%d): %s", error_name(error), error_number(error),
                error_text(error));
  return text;
}
