// Holding a forwarding for as long as the run lasts (--keep): the same add, check and
// remove calls as the one-shot commands, in a loop. It renews at half the lease granted,
// adds the entry again when the router lost it, waits out a router that is away, never
// overwrites another host's entry, and removes its own when told to stop.
#ifndef PORTWRANGLER_FRONT_KEEP_H_
#define PORTWRANGLER_FRONT_KEEP_H_

#include <functional>
#include <string>

#include "front/options.h"
#include "front/records.h"
#include "front/status.h"
#include "gateway/discovery.h"
#include "gateway/handle.h"

/// How the loop waits between its steps, and learns of a stop.
struct KeepWaiter {
  /// Waits up to `milliseconds`; true as soon as a stop is asked (also before the call).
  std::function<bool(int milliseconds)> wait;
  /// Whether a stop was asked, without waiting (none: never); an exchange it cut off
  /// ended with kSocketStopped.
  std::function<bool()> stopped = nullptr;
};

/// Whether the waiter was told to stop.
inline bool keep_stop_asked(const KeepWaiter& waiter) {
  return waiter.stopped && waiter.stopped();
}

/// The platform's waiter: it stops on SIGTERM, SIGINT and SIGHUP (POSIX), or on Ctrl-C,
/// Ctrl-Break, the console closed, logoff and shutdown (Windows), taken from the call on;
/// every wait of the socket layer ends by the stop too, until the waiter reports it.
KeepWaiter keep_platform_waiter();

/// Has the platform's stop signals (console events) ask the socket layer's stop
/// (keep_posix.cc, keep_win32.cc).
void keep_platform_watch();

/// The end of a holding run stopped before it added anything: the `stopped` event, and
/// an outcome of success.
Outcome keep_stopped_early(const RequestRecord& request, bool json);

/// Tells the platform the forwarding is gone: Windows holds a closing console open until
/// then.
void keep_platform_done();

/// Now, as the events' UTC time ("2026-12-08T10:00:00Z").
std::string keep_utc_now();

/// The waits after a failed exchange: from 1 s doubling to 60 s.
int keep_backoff_ms(int failures);

/// The wait before a renewal: half the lease, at least a second.
int keep_renew_ms(long lease_seconds);

/// Holds `request`'s entry (its lease asked in lease_seconds) on the router found by
/// `discovery` (`*gateway` at first) until the waiter says stop; the outcome tells how it
/// ended. Events go to standard error, or as JSON lines to standard output with `json`.
Outcome keep_run(const RequestRecord& request, GatewayHandle* gateway,
                 const DiscoveryOptions& discovery, bool json, const KeepWaiter& waiter);

#endif  // PORTWRANGLER_FRONT_KEEP_H_
