#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include "base/random_platform.h"

bool sys_random(unsigned char* bytes, size_t size) {
  return BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(size),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}
