// The older form of base/retry.h, kept for callers not yet moved to with_retries: the
// policy itself is in base/retry.h.
#ifndef PORTWRANGLER_BASE_TRIES_H_
#define PORTWRANGLER_BASE_TRIES_H_

#include "base/limits.h"
#include "base/retry.h"

/// The result of `attempt()`, tried again while `again(error)` holds, at most
/// kTransportTries times in all.
template <typename Attempt, typename Again>
Error with_tries(Attempt&& attempt, Again&& again) {
  Error error = attempt();
  for (int tries = 1; tries < kTransportTries && error != Error::kOk && again(error); ++tries) {
    error = attempt();
  }
  return error;
}

#endif  // PORTWRANGLER_BASE_TRIES_H_
