// What every fuzz target shares: the invariant check, which aborts so that libFuzzer
// keeps the input that broke it.
#ifndef PORTWRANGLER_TESTS_FUZZ_FUZZ_CHECK_H_
#define PORTWRANGLER_TESTS_FUZZ_FUZZ_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

inline std::string fuzz_text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

#endif  // PORTWRANGLER_TESTS_FUZZ_FUZZ_CHECK_H_
