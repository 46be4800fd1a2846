// Numbers and booleans as routers write them. Every number a router sends is read here,
// with its bound: a text that is no number, or one past the bound, is unknown, never
// another number (no wrap, no saturation, no exception), whatever the width of long.
#ifndef PORTWRANGLER_BASE_NUMBER_H_
#define PORTWRANGLER_BASE_NUMBER_H_

#include <cstdint>
#include <string>

/// Whether `text` is a decimal number from 0 to `max`: digits alone, XML white space
/// around them allowed, no sign. `*value` is written only when it is.
bool number_read(const std::string& text, uint64_t max, uint64_t* value);

/// A UPnP boolean: 1, true or yes; 0, false or no (any letter case, white space around);
/// any other text is neither.
enum class Truth { kFalse, kTrue, kUnknown };
Truth truth_read(const std::string& text);

#endif  // PORTWRANGLER_BASE_NUMBER_H_
