// printf-style formatting into a string, and the compiler's check of the formats of the
// functions that take one. MinGW's own printf (__USE_MINGW_ANSI_STDIO) follows C99, so its
// formats are checked as GNU's.
#ifndef PORTWRANGLER_BASE_FORMAT_H_
#define PORTWRANGLER_BASE_FORMAT_H_

#include <cstdarg>
#include <string>

#if defined(__MINGW32__)
#define PW_PRINTF_FORMAT(format_index, first_argument) \
  __attribute__((format(gnu_printf, format_index, first_argument)))
#elif defined(__GNUC__)
#define PW_PRINTF_FORMAT(format_index, first_argument) \
  __attribute__((format(printf, format_index, first_argument)))
#else
#define PW_PRINTF_FORMAT(format_index, first_argument)
#endif

/// The text `format` makes of `args`, whatever its length; empty on a format error.
std::string format_text(const char* format, va_list args);

/// The text `format` makes of the arguments after it.
std::string format_string(const char* format, ...) PW_PRINTF_FORMAT(1, 2);

#endif  // PORTWRANGLER_BASE_FORMAT_H_
