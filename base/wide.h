// Texts Windows hands over in UTF-16 (the command line, adapter names), as UTF-8, and
// back.
#ifndef PORTWRANGLER_BASE_WIDE_H_
#define PORTWRANGLER_BASE_WIDE_H_

#include <string>

/// UTF-8 of a NUL-terminated UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string utf8_of(const wchar_t* text);

/// UTF-16 of a UTF-8 text, for the calls that take Windows' own (a path, a command line).
std::wstring wide_of(const std::string& text);

#endif  // PORTWRANGLER_BASE_WIDE_H_
