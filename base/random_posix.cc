#include <sys/random.h>

#include <cerrno>

#include "base/random_platform.h"

bool sys_random(unsigned char* bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = getrandom(bytes + done, size - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}
