// The holding loop (--keep): one loop for every kind of entry it holds (a forwarding, a
// pinhole), each kind a few operations over its own state (HoldKind). The loop owns the
// decisions alike for all: when to renew, when a router is away and how long to wait for
// it, what a refusal leads to, and that every end but a kill removes what is held. It
// holds a set of entries, each with its own next step; one wait serves them all.
#ifndef PORTWRANGLER_HOLD_LOOP_H_
#define PORTWRANGLER_HOLD_LOOP_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/limits.h"
#include "cli/status.h"
#include "gateway/discovery.h"
#include "gateway/handle.h"
#include "hold/events.h"

/// How the loop waits between its steps, and learns of a stop.
struct KeepWaiter {
  using Wait = std::function<bool(int milliseconds, const std::vector<long long>& watch)>;
  // The platforms' waiters name the wait and the stop; tests the wait alone.
  KeepWaiter(Wait wait_for, std::function<long long()> clock = nullptr,
             std::function<bool()> stop = nullptr)
      : wait(std::move(wait_for)), now_ms(std::move(clock)), stopped(std::move(stop)) {}
  /// Waits up to `milliseconds`; true as soon as a stop is asked (also before the call).
  /// It ends early (not as a stop) when a socket of `watch` has something to read.
  Wait wait;
  /// The loop's clock in milliseconds; unset: the program's clock. A test that
  /// hands the waits back at once sets one that the waits move on.
  std::function<long long()> now_ms;
  /// Whether a stop was asked, without waiting (unset: never); an exchange it cut off
  /// ended with kSocketStopped.
  std::function<bool()> stopped;
  /// True once for each reload asked for since the last call (SIGHUP with --hold); unset:
  /// none is ever asked.
  std::function<bool()> reload_asked;
};

/// Whether the waiter was told to stop.
inline bool keep_stop_asked(const KeepWaiter& waiter) {
  return waiter.stopped && waiter.stopped();
}

/// The platform's waiter: it stops on SIGTERM, SIGINT and SIGHUP (POSIX), or on Ctrl-C,
/// Ctrl-Break, the console closed, logoff and shutdown (Windows), taken from the call on;
/// every wait of the socket layer ends by the stop too, until the waiter reports it. With
/// `hangup_reloads`, SIGHUP asks for a reload instead of a stop (POSIX), and a wait between
/// steps ends (not as a stop) on it. Called again, it keeps what was taken.
KeepWaiter keep_platform_waiter(bool hangup_reloads = false);

/// Has the platform's stop signals (console events) ask the socket layer's stop
/// (keep_posix.cc, keep_win32.cc); with `hangup_reloads`, SIGHUP asks a reload.
void keep_platform_watch(bool hangup_reloads);

/// True once for each reload asked since the last call.
bool keep_platform_take_reload();

/// Where no signal asks a reload (Windows), a held set's file `path` is read again when
/// its size or time of change is another: looked at every kHoldFileCheckMs, the waits
/// between steps cut to that. POSIX reloads on SIGHUP alone: nothing to do.
void keep_platform_reload_file(const std::string& path);

/// The longest the platform lets a wait between steps last (see above).
int keep_platform_wait_most_ms();

/// Tells the platform the forwarding is gone: Windows holds a closing console open until
/// then.
void keep_platform_done();

/// Now, as the events' UTC time ("2026-12-08T10:00:00Z").
std::string keep_utc_now();

/// The time `seconds` from now, in the same form.
std::string keep_utc_after(int64_t seconds);

/// The wait before a renewal: half the lease, at least a second.
int keep_renew_ms(int64_t lease_seconds);

/// One kind of held entry: its operations, each a closure over the entry's own state,
/// each against the router the loop hands it. None prints: the loop reports.
struct HoldKind {
  /// The first add, with the clash check; an entry of ours left from an earlier run is
  /// adopted. The kind shows its first report here.
  std::function<HoldAnswer(const GatewayHandle&)> hold;
  /// The check before a renewal and the renewal: kHeld, or what stands in its way.
  std::function<HoldAnswer(const GatewayHandle&)> renew;
  /// The add again after kGone (with the clash check) or after a release for kConflict.
  std::function<HoldAnswer(const GatewayHandle&)> readd;
  /// The removal of what is held: kGone once it is gone (or the router had it no more),
  /// kTaken when another host holds the port by then (left alone), else the failure.
  std::function<HoldAnswer(const GatewayHandle&)> release;
  /// What the entry is at an event, for its report (the answer is the event's).
  std::function<HeldSubject(const HoldAnswer& answer)> subject;
};

/// A kind whose operations are plain functions over one state, which the entry owns.
template <typename State>
HoldKind hold_kind(std::shared_ptr<State> state, HoldAnswer (*hold)(State*, const GatewayHandle&),
                   HoldAnswer (*renew)(State*, const GatewayHandle&),
                   HoldAnswer (*readd)(State*, const GatewayHandle&),
                   HoldAnswer (*release)(State*, const GatewayHandle&),
                   HeldSubject (*subject)(State*, const HoldAnswer&)) {
  HoldKind kind;
  kind.hold = [state, hold](const GatewayHandle& g) { return hold(state.get(), g); };
  kind.renew = [state, renew](const GatewayHandle& g) { return renew(state.get(), g); };
  kind.readd = [state, readd](const GatewayHandle& g) { return readd(state.get(), g); };
  kind.release = [state, release](const GatewayHandle& g) { return release(state.get(), g); };
  kind.subject = [state, subject](const HoldAnswer& answer) {
    return subject(state.get(), answer);
  };
  return kind;
}

/// Where entries are held: the UPnP router the loop finds (and finds again when it went
/// away), or the NAT-PMP/PCP gateway of the run (its IPv6 one for PCP pinholes).
constexpr const char* kHoldRouterUpnp = "upnp";
constexpr const char* kHoldRouterPortmap = "portmap";
constexpr const char* kHoldRouterPortmap6 = "portmap6";

/// One held entry: its kind, and its place in the loop's schedule.
struct HeldEntry {
  HoldKind kind;
  HoldSink* sink = nullptr;  // where its events go; none: untold
  std::string router = kHoldRouterUpnp;
  long long next_ms = 0;                      // when its next step is due, on the loop's clock
  int64_t lease_seconds = 0;                  // the lease it is renewed by
  std::string external_address;               // the router's, as last read
  long long stepped_ms = -kHoldRenewFloorMs;  // when its last step began, on the loop's clock
  int failures = 0;    // steps in a row that failed (away or refused): the back-off
  int refusals = 0;    // renewals in a row the router refused
  bool ended = false;  // no longer held
  Outcome outcome{Status::kSuccess, ""};  // how it ended
  // Of a held set: the words of its line, as parsed (the same words, the same entry).
  std::string key;
  // Of a held set: a port another host takes is looked at again, not given up.
  bool retry_taken = false;
  bool taken = false;  // another host holds the port now: looked at again later
};

/// What a held set asks of the loop besides its entries' steps.
struct HoldSetCalls {
  /// Reads the set again when a reload is asked: true with the entries wanted now in
  /// `*wanted` (each with its key); false when the set stays as it is.
  std::function<bool(std::vector<HeldEntry>* wanted)> reread;
};

/// A router's announcements, heard in the loop's one wait beside the stop.
struct HoldListener {
  std::string router;  // whose entries it speaks for (HeldEntry::router)
  /// The sockets it listens on now: the wait watches them.
  std::function<std::vector<long long>()> sockets;
  /// Reads what came since, without waiting: -1 when nothing calls for a look; else the
  /// router started again (or may have lost its table) and each of its entries is
  /// looked at after this many milliseconds.
  std::function<int()> heard;
};

/// Holds every entry of `entries` on the router in `*gateway` (found again through
/// `discovery` when it went away) until the waiter says stop, then releases them all.
/// A stop asked before an entry's first add ends it with a `stopped` event, nothing added;
/// one that cut an exchange off starts the removal at once, within 15 s of its own.
/// An entry ends on its own when another host takes its port or after three refusals in
/// a row (then released); the run's outcome is the first entry's that ended otherwise
/// than by the stop, else success. An entry held again under another external address
/// reports `changed`, and every other entry is looked at at once.
/// A held set (`set` given) goes on while no entry is held, until the stop, and takes
/// the entries a reload wants: those of a key it holds stay untouched, those gone are
/// released, new ones are added; an entry whose port another host takes is looked at
/// again every kHoldTakenRecheckMs, and does not end the run with a clash.
/// What `listeners` hear moves their entries' next steps sooner.
Outcome hold_run(std::vector<HeldEntry>* entries, GatewayHandle* gateway,
                 const DiscoveryOptions& discovery, const KeepWaiter& waiter,
                 const HoldSetCalls* set = nullptr,
                 const std::vector<HoldListener>& listeners = {});

#endif  // PORTWRANGLER_HOLD_LOOP_H_
