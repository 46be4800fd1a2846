// The program's one source of randomness: the system's for secrets and names no other
// writer may pick, and a generator seeded from it once for the spreads of waits.
#ifndef PORTWRANGLER_BASE_RANDOM_H_
#define PORTWRANGLER_BASE_RANDOM_H_

#include <cstddef>

/// `size` bytes from the system's random source (getrandom, BCryptGenRandom); false when
/// it gives none.
bool random_bytes(unsigned char* bytes, size_t size);

/// A draw in [0, 1): for waits spread so that hosts do not ask together.
double random_unit();

/// A whole number in [low, high].
int random_between(int low, int high);

#endif  // PORTWRANGLER_BASE_RANDOM_H_
