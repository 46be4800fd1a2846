#include "front/keep.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "base/budget.h"
#include "base/format.h"
#include "base/limits.h"
#include "base/retry.h"
#include "base/text.h"
#include "base/trace.h"
#include "front/change.h"
#include "front/console.h"
#include "front/json_out.h"
#include "gateway/local_address.h"
#include "gateway/mapping.h"

namespace {

/// The loop's state.
struct Holding {
  const RequestRecord* request;
  GatewayHandle* gateway;
  const DiscoveryOptions* discovery;
  bool json;
  AddResult held;  // the entry as last added, with its lease
};

int64_t granted_lease(const AddResult& result) {
  if (result.lease_read) return result.granted.lease_seconds;
  return result.mapping.lease_seconds;
}

/// One line per event: standard error with the screens, a JSON line with --json.
void event(const Holding& holding, const char* name, const std::string& text, int64_t lease,
           Error error) {
  const std::string time = keep_utc_now();
  const std::string answer = error != Error::kOk ? trace_error(error) : "";
  if (holding.json) {
    console_write(json_event_line(time, name, text, holding.held.mapping, lease, answer));
    std::fflush(stdout);
    return;
  }
  const MappingRequest& m = holding.held.mapping;
  // Texts from the router go in: the line is made printable, as on screen.
  const std::string line =
      format_string("%s %s: %s %u -> %s:%u%s%s%s%s", time.c_str(), name, m.protocol.c_str(),
                    m.external_port, m.client.c_str(), m.internal_port, text.empty() ? "" : ", ",
                    text.c_str(), answer.empty() ? "" : "; router: ", answer.c_str());
  std::fputs((text_printable(line) + "\n").c_str(), stderr);
  std::fflush(stderr);
}

std::string lease_text(const AddResult& result) {
  if (result.permanent) return "permanent: the router takes no lease";
  return "lease " + std::to_string(granted_lease(result)) + " s";
}

/// Whether the router's entry for the port is the one held: the same client and port.
bool ours(const MappingEntry& entry, const MappingRequest& mapping) {
  return entry.client == mapping.client && entry.internal_port == mapping.internal_port;
}

/// Finds the router again after it went away: discovery and this host's address.
Error find_again(Holding* holding) {
  GatewayHandle found;
  Error error = discover_gateway(*holding->discovery, &found);
  std::string local;
  if (error == Error::kOk) error = gateway_local_address(found, &local);
  if (error == Error::kOk) *holding->gateway = std::move(found);
  return error;
}

enum class Step { kHeld, kTaken, kAway, kRefused };

/// The check before a renewal, and the renewal: the entry read; when it is ours, added
/// again with its lease; when the router lost it, added again after the clash check.
/// kAway with the error in `*away` when the router did not answer.
Step renew(Holding* holding, Error* away) {
  const MappingRequest& mapping = holding->held.mapping;
  MappingEntry entry;
  Error error =
      gateway_specific_entry(*holding->gateway, mapping.external_port, mapping.protocol, &entry);
  if (error_in_transport(error) ||
      (error != Error::kOk && error != Error::kHttpNotOk &&
       error != Error::kGatewayMappingRefused && error != Error::kGatewayUnparsable)) {
    *away = error;
    return Step::kAway;
  }
  AddResult next;
  next.mapping = mapping;
  next.mapping.lease_seconds = holding->request->lease_seconds;
  if (error == Error::kOk && !ours(entry, mapping)) {
    next.clash = true;
    next.clash_entry = entry;
  } else if (error == Error::kOk) {
    add_send(*holding->gateway, &next);
  } else {
    // Gone (a reboot, a lease that ran out), or a router that cannot be asked for one
    // entry: the table is checked for a clash before the entry goes back.
    if (error == Error::kGatewayMappingRefused) event(*holding, "lost", "", -1, Error::kOk);
    RequestRecord request = *holding->request;
    request.ip_address = mapping.client;
    next = add_apply(request, *holding->gateway);
  }
  if (next.clash) {
    event(*holding, "taken",
          format_string("held by %s:%u now: not overwritten, no longer held",
                        next.clash_entry.client.c_str(), next.clash_entry.internal_port),
          -1, Error::kOk);
    return Step::kTaken;
  }
  if (next.unchecked || error_in_transport(next.error)) {
    *away = next.error;
    return Step::kAway;
  }
  if (next.error != Error::kOk) {
    event(*holding, "refused", "the router refused the add", -1, next.error);
    return Step::kRefused;
  }
  holding->held = next;
  event(*holding, error == Error::kOk ? "renewed" : "added", lease_text(next), granted_lease(next),
        Error::kOk);
  return Step::kHeld;
}

/// Removes the entry held, unless another host holds the port now.
Outcome release(Holding* holding) {
  const MappingRequest& mapping = holding->held.mapping;
  MappingEntry entry;
  Error error =
      gateway_specific_entry(*holding->gateway, mapping.external_port, mapping.protocol, &entry);
  if (error == Error::kOk && !ours(entry, mapping)) {
    event(*holding, "stopped", "another host holds the port: left alone", -1, Error::kOk);
    return {Status::kSuccess, ""};
  }
  if (error != Error::kGatewayMappingRefused) {
    error = gateway_delete_mapping(*holding->gateway, mapping.external_port, mapping.protocol);
  }
  if (error == Error::kOk || error == Error::kGatewayMappingRefused) {
    event(*holding, "removed", error == Error::kOk ? "" : "the router had it no more", -1,
          Error::kOk);
    return {Status::kSuccess, ""};
  }
  event(*holding, "remove failed", "", -1, error);
  if (error_in_transport(error))
    return {Status::kRemoveRefused, kMessageRemoveRefused, ExitStatus::kNoRouter};
  return {Status::kRemoveRefused, kMessageRemoveRefused, ExitStatus::kRefused};
}

}  // namespace

int keep_backoff_ms(int failures) {
  int wait = 1000;
  for (int i = 1; i < failures && wait < 60000; ++i) wait *= 2;
  return wait < 60000 ? wait : 60000;
}

std::string keep_utc_now() {
  const std::time_t now = std::time(nullptr);
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

int keep_renew_ms(int64_t lease_seconds) {
  // In 64 bits: a long is 32 on Windows, and a lease read back may be near 2^32 s.
  const int64_t half = lease_seconds * 500;
  return half < 1000 ? 1000 : static_cast<int>(half < 86400000 ? half : 86400000);
}

Outcome keep_run(const RequestRecord& request, GatewayHandle* gateway,
                 const DiscoveryOptions& discovery, bool json, const KeepWaiter& waiter) {
  Holding holding{&request, gateway, &discovery, json, AddResult()};
  holding.held = add_apply(request, *gateway);
  if (!json) add_show(request, holding.held);
  if (!holding.held.added()) {
    event(holding, holding.held.clash ? "taken" : "refused",
          holding.held.clash ? "another entry holds the port: not added" : "not added", -1,
          holding.held.error);
    return add_outcome(holding.held);
  }
  event(holding, "added", lease_text(holding.held), granted_lease(holding.held), Error::kOk);
  int failures = 0;
  // The wait before the next step: half the lease while held, the backoff while away.
  int wait = keep_renew_ms(granted_lease(holding.held) != 0 ? granted_lease(holding.held)
                                                            : request.lease_seconds);
  while (!waiter.wait(wait)) {
    // Each renewal is a run of its own: the same bound on its waits, afresh.
    run_budget_start(kRunSeconds);
    Error away = Error::kOk;
    Step step = renew(&holding, &away);
    // A router that went away may be back elsewhere (another port, another address).
    if (step == Step::kAway && failures > 0 && find_again(&holding) == Error::kOk) {
      step = renew(&holding, &away);
    }
    if (step == Step::kTaken) return {Status::kDuplicate, kMessageDuplicate, ExitStatus::kClash};
    if (step == Step::kRefused) {
      return {Status::kAddRefused, kMessageAddRefused, ExitStatus::kRefused};
    }
    if (step == Step::kAway) {
      event(holding, "unreachable",
            format_string("the router does not answer; next try in %d s",
                          keep_backoff_ms(failures + 1) / 1000),
            -1, away);
      wait = keep_backoff_ms(++failures);
      continue;
    }
    failures = 0;
    const int64_t lease = granted_lease(holding.held);
    wait = keep_renew_ms(lease != 0 ? lease : request.lease_seconds);
  }
  run_budget_start(kRunSeconds);
  const Outcome outcome = release(&holding);
  keep_platform_done();
  return outcome;
}
