// Keeps exceptions inside a layer: an allocation failure becomes the code -499.
#ifndef PORTWRANGLER_NET_GUARD_H_
#define PORTWRANGLER_NET_GUARD_H_

#include <new>

/// The result of `work()`, or -499 when it ran out of memory.
template <typename Work>
int guard_allocation(Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return -499;
  }
}

#endif  // PORTWRANGLER_NET_GUARD_H_
