#include "base/format.h"

#include <cstdio>

std::string format_text(const char* format, va_list args) {
  char small[256];
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(small, sizeof(small), format, args);
  if (length < 0) {
    va_end(again);
    return std::string();
  }
  if (static_cast<size_t>(length) < sizeof(small)) {
    va_end(again);
    return std::string(small, static_cast<size_t>(length));
  }
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, again);
  va_end(again);
  text.resize(static_cast<size_t>(length));
  return text;
}

std::string format_string(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  return text;
}
