// Holding a forwarding for as long as the run lasts (--keep): the same add, check and
// remove calls as the one-shot commands, in a loop. It renews at half the lease granted,
// adds the entry again when the router lost it, waits out a router that is away, never
// overwrites another host's entry, and removes its own when told to stop.
#ifndef PORTWRANGLER_FRONT_KEEP_H_
#define PORTWRANGLER_FRONT_KEEP_H_

#include <cstdint>
#include <functional>
#include <string>

#include "front/options.h"
#include "front/records.h"
#include "front/status.h"
#include "gateway/discovery.h"
#include "gateway/handle.h"

/// How the loop waits between its steps.
struct KeepWaiter {
  /// Waits up to `milliseconds`; true as soon as a stop is asked (also before the call).
  std::function<bool(int milliseconds)> wait;
};

/// The platform's waiter: it stops on SIGTERM, SIGINT and SIGHUP (POSIX), or on Ctrl-C,
/// Ctrl-Break, the console closed, logoff and shutdown (Windows).
KeepWaiter keep_platform_waiter();

/// Tells the platform the forwarding is gone: Windows holds a closing console open until
/// then.
void keep_platform_done();

/// Now, as the events' UTC time ("2026-12-08T10:00:00Z").
std::string keep_utc_now();

/// The waits after a failed exchange: from 1 s doubling to 60 s.
int keep_backoff_ms(int failures);

/// The wait before a renewal: half the lease, at least a second.
int keep_renew_ms(int64_t lease_seconds);

/// Holds `request`'s entry (its lease asked in lease_seconds) on the router found by
/// `discovery` (`*gateway` at first) until the waiter says stop; the outcome tells how it
/// ended. Events go to standard error, or as JSON lines to standard output with `json`.
Outcome keep_run(const RequestRecord& request, GatewayHandle* gateway,
                 const DiscoveryOptions& discovery, bool json, const KeepWaiter& waiter);

#endif  // PORTWRANGLER_FRONT_KEEP_H_
