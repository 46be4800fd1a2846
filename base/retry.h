// When an exchange is made again after a failure, how often, and why: every rule of the
// system in one table (retry.cc), so what is asked twice of a router is decided here
// alone. A lost packet that TCP could not make good within its waits must not turn into
// a wrong answer; a request the router may have acted on must not be made twice.
#ifndef PORTWRANGLER_BASE_RETRY_H_
#define PORTWRANGLER_BASE_RETRY_H_

#include <vector>

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

// Datagram exchanges (NAT-PMP, PCP) and the holding loop: no answer is the only failure a
// wait can end, so a try is sent again on a growing wait, each kind a row of a second
// table.

/// When a datagram request goes out, in milliseconds from the exchange's start, and when
/// the wait for its answer ends.
struct PortmapSchedule {
  std::vector<int> send_at;
  int give_up_at = 0;
};

/// The waits that grow after each unanswered try.
enum class Backoff : int {
  kNatpmp,  // a NAT-PMP request
  kPcp,     // a PCP request
  kKeep,    // the holding loop's next step after a failed one
};

/// A row: the wait after the first try, doubling with each to at most the last.
struct BackoffRule {
  Backoff kind;
  int first_ms;
  int last_ms;
  const char* why;
};

/// The row of `kind`.
const BackoffRule& backoff_rule(Backoff kind);

/// A one-shot command's schedules: both end well within the 10 s a one-shot command may
/// wait for a gateway that does not answer. NAT-PMP's doubles from 250 ms as RFC 6886
/// has it; PCP's starts at 3 s, RFC 6887's initial wait.
PortmapSchedule natpmp_one_shot_schedule();
PortmapSchedule pcp_one_shot_schedule();

/// The probe beside a UPnP search: the search's own send times, over before its wait is.
PortmapSchedule portmap_probe_schedule();

/// `schedule` cut to end within `ms_left` of its start: the sends due by then, and the
/// wait over by then (at once when no time is left, the first send alone made).
PortmapSchedule portmap_schedule_within(PortmapSchedule schedule, int ms_left);

/// A held mapping's retransmission while its gateway does not answer: each try is one
/// send, and this long passes before the next one. NAT-PMP: 250 ms after the first,
/// doubling with each, 64 s after the ninth and every one after it (where a one-shot
/// client would give up, a holder goes on at that pace).
int natpmp_retransmit_ms(int tries);
/// PCP: (1 + RAND) * 3 s after the first (IRT), then (1 + RAND) * min(2 * the previous
/// wait, 1024 s (MRT)), with no end; `rand` is RAND, from -0.1 to 0.1, drawn anew each time.
int pcp_retransmit_ms(int previous_ms, double rand);
/// A RAND for pcp_retransmit_ms.
double pcp_retransmit_rand();

/// The holding loop's wait after `failures` failed steps in a row: from 1 s doubling to 60 s.
int keep_backoff_ms(int failures);

/// A held mapping's renewal waits this long for its answer at most; the rest of a longer
/// retransmission wait passes in the loop's own wait, beside the other entries.
constexpr int kHeldAnswerWaitMs = 4000;
/// After an announcement, mappings are renewed within this random wait, so that the hosts
/// of a link do not all ask at once.
constexpr int kAnnouncementWaitMaxMs = 5000;

#endif  // PORTWRANGLER_BASE_RETRY_H_
