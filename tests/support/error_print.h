// Errors in test failure messages by name and number, not as raw bytes.
#ifndef PORTWRANGLER_TESTS_SUPPORT_ERROR_PRINT_H_
#define PORTWRANGLER_TESTS_SUPPORT_ERROR_PRINT_H_

#include <ostream>

#include "base/error.h"

inline void PrintTo(Error error, std::ostream* out) {
  *out << error_name(error) << " (" << error_number(error) << ")";
}

#endif  // PORTWRANGLER_TESTS_SUPPORT_ERROR_PRINT_H_
