// Keeps exceptions inside a layer: an allocation failure becomes kNoMemory (-499) at the
// edge of the operation that met it, so no exception crosses a layer boundary.
#ifndef PORTWRANGLER_BASE_GUARD_H_
#define PORTWRANGLER_BASE_GUARD_H_

#include <new>

#include "base/result_codes.h"

/// The result of `work()`, or kNoMemory when it ran out of memory.
template <typename Work>
int guard_allocation(Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

#endif  // PORTWRANGLER_BASE_GUARD_H_
