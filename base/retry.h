// When an exchange is made again after a failure, how often, and why: every rule of the
// system in one table (retry.cc), so what is asked twice of a router is decided here
// alone. A lost packet that TCP could not make good within its waits must not turn into
// a wrong answer; a request the router may have acted on must not be made twice.
#ifndef PORTWRANGLER_BASE_RETRY_H_
#define PORTWRANGLER_BASE_RETRY_H_

#include "base/error.h"

/// The kinds of exchange, each a row of the table.
enum class Retry : int {
  kRead,          // a read: the description named outright, the external address
  kSearchRead,    // a description read while the search goes on
  kTableRead,     // the read of one entry of the router's table
  kChange,        // a change of the table: an add or a removal
  kLocalConnect,  // the connect that learns this host's address toward the router
  kOnce,          // one try, where the caller's own loop follows a row above
};

/// A row: how many tries in all, and after which failure another is made.
struct RetryRule {
  Retry kind;
  int tries;
  bool (*again)(Error error);
  const char* why;
};

/// The row of `kind`.
const RetryRule& retry_rule(Retry kind);

/// Whether the error ends every try: the run's time is up, or a stop was asked.
inline bool error_ends_run(Error error) {
  return error == Error::kSocketTimedOut || error == Error::kSocketStopped;
}

/// The result of `attempt()`, made again while the row of `kind` allows.
template <typename Attempt>
Error with_retries(Retry kind, Attempt&& attempt) {
  const RetryRule& rule = retry_rule(kind);
  Error error = attempt();
  for (int tries = 1;
       tries < rule.tries && error != Error::kOk && !error_ends_run(error) && rule.again(error);
       ++tries) {
    error = attempt();
  }
  return error;
}

/// Whether the error is a failure of the connection rather than an answer: no connection,
/// or one that broke, went silent, ended before the answer was whole, or was cut off by
/// the run's end or a stop.
bool error_in_transport(Error error);

/// Whether a request that failed with `error` may still have reached the router: a
/// connection was made, and what became of the request is unknown. A change that failed
/// so may have been made.
bool request_may_have_arrived(Error error);

/// The short-body rule of a 200: a body cut short of its announced length counts as cut
/// short in transport (kHttpCutShort) unless it parses, since some routers miscount
/// their Content-Length. kOk otherwise.
Error short_body_error(bool whole, bool parses);

#endif  // PORTWRANGLER_BASE_RETRY_H_
