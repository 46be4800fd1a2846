// Trying an exchange again after a failure in transport: a lost packet that TCP could not
// make good within its waits must not turn into a wrong answer.
#ifndef PORTWRANGLER_BASE_TRIES_H_
#define PORTWRANGLER_BASE_TRIES_H_

#include "base/error.h"
#include "base/limits.h"

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
