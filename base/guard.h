// Keeps exceptions inside a layer: an allocation failure becomes Error::kNoMemory at the
// edge of the operation that met it, so no exception crosses a layer boundary.
#ifndef PORTWRANGLER_BASE_GUARD_H_
#define PORTWRANGLER_BASE_GUARD_H_

#include <new>

#include "base/error.h"

/// The result of `work()`, or Error::kNoMemory when it ran out of memory.
template <typename Work>
Error guard_allocation(Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return Error::kNoMemory;
  }
}

#endif  // PORTWRANGLER_BASE_GUARD_H_
