// The system's random source, one call per platform (random_posix.cc, random_win32.cc).
#ifndef PORTWRANGLER_BASE_RANDOM_PLATFORM_H_
#define PORTWRANGLER_BASE_RANDOM_PLATFORM_H_

#include <cstddef>

/// `size` bytes from the system's random source; false when it gives none.
bool sys_random(unsigned char* bytes, size_t size);

#endif  // PORTWRANGLER_BASE_RANDOM_PLATFORM_H_
