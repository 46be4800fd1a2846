// Texts Windows hands over in UTF-16 (the command line, adapter names), as UTF-8.
#ifndef PORTWRANGLER_BASE_WIDE_H_
#define PORTWRANGLER_BASE_WIDE_H_

#include <string>

/// UTF-8 of a NUL-terminated UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string utf8_of(const wchar_t* text);

#endif  // PORTWRANGLER_BASE_WIDE_H_
