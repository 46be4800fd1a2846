#include "base/random.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>

#include "base/random_platform.h"

namespace {

/// The generator of spreads, seeded once from the system (or the clock, where it gives
/// nothing); hooks' threads and the loop may draw at once.
std::minstd_rand& generator(std::unique_lock<std::mutex>* lock) {
  static std::mutex mutex;
  static std::minstd_rand random([] {
    uint32_t seed = 0;
    if (!sys_random(reinterpret_cast<unsigned char*>(&seed), sizeof seed)) {
      seed = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return seed;
  }());
  *lock = std::unique_lock<std::mutex>(mutex);
  return random;
}

}  // namespace

bool random_bytes(unsigned char* bytes, size_t size) {
  return sys_random(bytes, size);
}

double random_unit() {
  std::unique_lock<std::mutex> lock;
  std::minstd_rand& random = generator(&lock);
  return std::uniform_real_distribution<double>(0.0, 1.0)(random);
}

int random_between(int low, int high) {
  std::unique_lock<std::mutex> lock;
  std::minstd_rand& random = generator(&lock);
  return std::uniform_int_distribution<int>(low, high)(random);
}
