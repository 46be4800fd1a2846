#include "hold/loop.h"

#include <algorithm>
#include <ctime>
#include <string>

#include "base/clock.h"
#include "base/format.h"
#include "base/limits.h"
#include "base/retry.h"
#include "gateway/local_address.h"

namespace {

long long clock_ms(const KeepWaiter& waiter) {
  if (waiter.now_ms) return waiter.now_ms();
  return ::clock_ms();
}

/// Each step against the router is bounded as a run of its own.
void step_budget(const GatewayHandle& gateway) {
  gateway.deadline = deadline_in(kRunSeconds * 1000LL);
}

/// The event an answer is reported as when its kind names none.
const char* event_of(HoldStep step) {
  switch (step) {
    case HoldStep::kHeld:
      return "renewed";
    case HoldStep::kGone:
      return "lost";
    case HoldStep::kConflict:
      return "conflict";
    case HoldStep::kTaken:
      return "taken";
    case HoldStep::kAway:
      return "unreachable";
    case HoldStep::kRefused:
      break;
  }
  return "refused";
}

void report(const HeldEntry& entry, const HoldAnswer& answer) {
  if (entry.sink == nullptr) return;
  const char* name = answer.event[0] != '\0' ? answer.event : event_of(answer.step);
  entry.sink->entry_event({keep_utc_now(), name, answer, entry.kind.subject(answer), entry.key});
}

/// Finds the router again after it went away (another port, another address).
void find_again(const DiscoveryOptions& discovery, GatewayHandle* gateway) {
  GatewayHandle found;
  std::string local;
  DiscoveryOptions within = discovery;
  within.deadline = gateway->deadline;
  if (discover_gateway(within, &found) == Error::kOk &&
      gateway_local_address(found, &local) == Error::kOk) {
    *gateway = std::move(found);
  }
}

/// What follows an answer that is neither held nor final: a lost entry is added again;
/// our own entry that the router will not renew is removed and added again.
HoldAnswer resolve(const HeldEntry& entry, const GatewayHandle& gateway, HoldAnswer answer) {
  if (answer.step == HoldStep::kGone) {
    report(entry, answer);
    answer = entry.kind.readd(gateway);
  } else if (answer.step == HoldStep::kConflict) {
    answer.text = "the router will not renew our own entry: removed and added again";
    report(entry, answer);
    const HoldAnswer removed = entry.kind.release(gateway);
    report(entry, removed);
    answer = removed.step == HoldStep::kGone ? entry.kind.readd(gateway) : removed;
  }
  return answer;
}

/// Ends an entry that a stop came before: nothing of it was added.
void keep_stopped_early(HeldEntry* entry) {
  HoldAnswer answer;
  answer.event = "stopped";
  answer.text = "before anything was added";
  report(*entry, answer);
  entry->ended = true;
}

/// Removes what `entry` holds and reports it; the outcome of a removal that failed. At a
/// stop (`stop_by` given) the removals have a short time of their own, whatever the stop
/// cut off: one time for all the entries of a set, so that a silent router keeps no set
/// from its end longer than it keeps one entry.
void release(HeldEntry* entry, const GatewayHandle& gateway, const Deadline* stop_by = nullptr) {
  if (stop_by != nullptr) {
    gateway.deadline = *stop_by;
  } else {
    step_budget(gateway);
  }
  const HoldAnswer answer = entry->kind.release(gateway);
  report(*entry, answer);
  entry->ended = true;
  if (answer.step != HoldStep::kGone && answer.step != HoldStep::kTaken) {
    entry->outcome = answer.ending;
  }
}

/// The lease a held answer is renewed by: its own where it names one, else the granted.
int64_t renew_lease_of(const HoldAnswer& answer) {
  return answer.renew_lease_seconds != 0 ? answer.renew_lease_seconds : answer.lease_seconds;
}

/// Sets the entry's next step by the answer of its last one, ending it where the answer
/// says so.
void settle(HeldEntry* entry, const GatewayHandle& gateway, HoldAnswer answer, long long now) {
  switch (answer.step) {
    case HoldStep::kHeld:
      if (!answer.external_address.empty()) {
        if (!entry->external_address.empty() &&
            answer.external_address != entry->external_address) {
          answer.text = "the router's external address is " + answer.external_address +
                        " now, not " + entry->external_address + (answer.text.empty() ? "" : "; ") +
                        answer.text;
          answer.event = "changed";
        }
        entry->external_address = answer.external_address;
      }
      report(*entry, answer);
      entry->taken = false;
      entry->failures = 0;
      entry->refusals = 0;
      if (renew_lease_of(answer) != 0) entry->lease_seconds = renew_lease_of(answer);
      entry->next_ms = now + keep_renew_ms(entry->lease_seconds);
      return;
    case HoldStep::kTaken:
      // Nothing of ours is left to remove. A set looks at the port again later, and
      // tells of it once.
      if (!entry->taken) report(*entry, answer);
      if (entry->retry_taken) {
        entry->taken = true;
        entry->failures = 0;
        entry->next_ms = now + kHoldTakenRecheckMs;
        return;
      }
      entry->ended = true;
      entry->outcome = answer.ending;
      return;
    case HoldStep::kAway: {
      ++entry->failures;
      // A protocol with a retransmission schedule of its own keeps to it.
      const int wait = answer.retry_ms > 0 ? answer.retry_ms : keep_backoff_ms(entry->failures);
      answer.text =
          wait % 1000 == 0
              ? format_string("the router does not answer; next try in %d s", wait / 1000)
              : format_string("the router does not answer; next try in %.1f s", wait / 1000.0);
      report(*entry, answer);
      entry->next_ms = now + wait;
      return;
    }
    case HoldStep::kGone:
    case HoldStep::kConflict:
    case HoldStep::kRefused:
      break;
  }
  ++entry->failures;
  if (++entry->refusals < kKeepRefusalsMax) {
    answer.text += format_string("; next try in %d s", keep_backoff_ms(entry->failures) / 1000);
    answer.step = HoldStep::kRefused;
    report(*entry, answer);
    entry->next_ms = now + keep_backoff_ms(entry->failures);
    return;
  }
  answer.text += format_string("; refused %d times in a row: no longer held", entry->refusals);
  answer.step = HoldStep::kRefused;
  report(*entry, answer);
  release(entry, gateway);
  entry->outcome = answer.ending;
}

/// Brings the step of `entry` forward to `after` ms from `now`, but never within the
/// renewal floor of its last step. True when it moved.
bool bring_forward(HeldEntry* entry, long long now, int after) {
  const long long at = std::max(now + after, entry->stepped_ms + kHoldRenewFloorMs);
  if (entry->ended || entry->next_ms <= at) return false;
  entry->next_ms = at;
  return true;
}

/// The renewal of an entry whose step is due; true when its router lost every mapping.
bool renew(HeldEntry* entry, GatewayHandle* gateway, const DiscoveryOptions& discovery,
           const KeepWaiter& waiter) {
  entry->stepped_ms = clock_ms(waiter);
  step_budget(*gateway);
  // A port another host held is added again (with the clash check) once it is free.
  const auto step = entry->taken ? entry->kind.readd : entry->kind.renew;
  HoldAnswer answer = step(*gateway);
  if (answer.step == HoldStep::kAway && keep_stop_asked(waiter)) return false;  // released
  if (answer.step == HoldStep::kAway && entry->failures > 0 && entry->router == kHoldRouterUpnp) {
    find_again(discovery, gateway);
    answer = step(*gateway);
  }
  answer = resolve(*entry, *gateway, answer);
  const bool lost_all = answer.router_lost_all;
  settle(entry, *gateway, answer, clock_ms(waiter));
  return lost_all;
}

/// The first add of an entry, and its place in the schedule.
void start(HeldEntry* entry, const GatewayHandle& gateway, const KeepWaiter& waiter) {
  if (keep_stop_asked(waiter)) {
    keep_stopped_early(entry);
    return;
  }
  entry->stepped_ms = clock_ms(waiter);
  step_budget(gateway);
  HoldAnswer answer = entry->kind.hold(gateway);
  if (answer.step == HoldStep::kHeld || (answer.step == HoldStep::kTaken && entry->retry_taken)) {
    settle(entry, gateway, answer, clock_ms(waiter));
  } else if (keep_stop_asked(waiter) && !request_may_have_arrived(answer.error)) {
    keep_stopped_early(entry);  // the stop cut the first add off before it went out
  } else if (keep_stop_asked(waiter)) {
    entry->lease_seconds = 0;  // it may have been added: removed at the end
  } else {
    // Not added: nothing to remove, and the run says why at once.
    report(*entry, answer);
    entry->ended = true;
    entry->outcome = answer.ending;
  }
}

/// Takes the set a reload wants: entries of a key held stay as they are, those no longer
/// wanted are released, new ones added.
void reload(std::vector<HeldEntry>* entries, const GatewayHandle& gateway, const HoldSetCalls& set,
            const KeepWaiter& waiter) {
  std::vector<HeldEntry> wanted;
  if (!set.reread(&wanted)) return;
  auto wanted_key = [&wanted](const std::string& key) {
    for (const HeldEntry& entry : wanted) {
      if (entry.key == key) return true;
    }
    return false;
  };
  std::vector<HeldEntry> kept;
  for (HeldEntry& entry : *entries) {
    if (wanted_key(entry.key)) {
      kept.push_back(std::move(entry));
    } else if (!entry.ended && !entry.taken) {
      release(&entry, gateway);
    }
  }
  for (HeldEntry& entry : wanted) {
    bool held = false;
    for (const HeldEntry& old : kept) held = held || old.key == entry.key;
    if (held) continue;
    kept.push_back(std::move(entry));
    start(&kept.back(), gateway, waiter);
  }
  *entries = std::move(kept);
}

/// Takes what the routers announced: the entries of one that started again are looked at
/// when its listener says (at once, or after a random wait). True when any moved.
bool heard(std::vector<HeldEntry>* entries, const std::vector<HoldListener>& listeners,
           long long now) {
  bool moved = false;
  for (const HoldListener& listener : listeners) {
    const int after = listener.heard();
    if (after < 0) continue;
    for (HeldEntry& entry : *entries) {
      if (entry.router == listener.router) moved = bring_forward(&entry, now, after) || moved;
    }
  }
  return moved;
}

/// The router's address is the same for every entry: each that still names another one
/// is looked at now, not at its own next renewal.
void address_moved(std::vector<HeldEntry>* entries, const std::string& address, long long now) {
  for (HeldEntry& entry : *entries) {
    if (!entry.ended && !entry.taken && !entry.external_address.empty() &&
        entry.external_address != address) {
      entry.next_ms = std::min(entry.next_ms, now);
    }
  }
}

}  // namespace

std::string keep_utc_after(int64_t seconds) {
  const std::time_t now = std::time(nullptr) + seconds;
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &now);
#else
  gmtime_r(&now, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string keep_utc_now() {
  return keep_utc_after(0);
}

int keep_renew_ms(int64_t lease_seconds) {
  // In 64 bits: a long is 32 on Windows, and a lease read back may be near 2^32 s.
  const int64_t half = lease_seconds * 500;
  if (half < keep_backoff_ms(1)) return keep_backoff_ms(1);
  return static_cast<int>(half < kKeepRenewMaxMs ? half : kKeepRenewMaxMs);
}

Outcome hold_run(std::vector<HeldEntry>* entries, GatewayHandle* gateway,
                 const DiscoveryOptions& discovery, const KeepWaiter& waiter,
                 const HoldSetCalls* set, const std::vector<HoldListener>& listeners) {
  for (HeldEntry& entry : *entries) start(&entry, *gateway, waiter);
  std::vector<long long> watch;
  for (;;) {
    HeldEntry* due = nullptr;
    for (HeldEntry& entry : *entries) {
      if (!entry.ended && (due == nullptr || entry.next_ms < due->next_ms)) due = &entry;
    }
    if (due == nullptr && set == nullptr) break;
    // A set with nothing to hold waits for a reload or the stop.
    const long long left =
        due != nullptr ? due->next_ms - clock_ms(waiter) : static_cast<long long>(kKeepRenewMaxMs);
    // A reload is taken as soon as it is seen: before the wait (asked while an exchange
    // was under way) or after it.
    const auto reload_now = [&] {
      if (set == nullptr || !waiter.reload_asked || !waiter.reload_asked()) return false;
      reload(entries, *gateway, *set, waiter);
      return true;
    };
    if (reload_now()) continue;
    watch.clear();
    for (const HoldListener& listener : listeners) {
      for (long long socket : listener.sockets()) watch.push_back(socket);
    }
    if (waiter.wait(left > 0 ? static_cast<int>(left) : 0, watch)) break;
    if (reload_now()) continue;
    if (heard(entries, listeners, clock_ms(waiter))) continue;
    if (due != nullptr && due->next_ms <= clock_ms(waiter)) {
      const std::string address = due->external_address;
      if (renew(due, gateway, discovery, waiter)) {
        // Once per answer that tells it: the others of its router, each within the floor.
        const long long now = clock_ms(waiter);
        for (HeldEntry& entry : *entries) {
          if (&entry != due && entry.router == due->router) bring_forward(&entry, now, 0);
        }
      }
      if (!address.empty() && due->external_address != address) {
        address_moved(entries, due->external_address, clock_ms(waiter));
      }
    }
  }
  const Deadline stop_by = deadline_in((kStopCheckSeconds + kStopRemoveSeconds) * 1000LL);
  for (HeldEntry& entry : *entries) {
    if (!entry.ended && !entry.taken) release(&entry, *gateway, &stop_by);
  }
  keep_platform_done();
  for (const HeldEntry& entry : *entries) {
    if (entry.outcome.status != Status::kSuccess) return entry.outcome;
  }
  return {Status::kSuccess, ""};
}
