#include "hold/portmap.h"

#include <chrono>
#include <cstdio>
#include <memory>

#include "base/clock.h"
#include "base/format.h"
#include "base/limits.h"
#include "base/protocol.h"
#include "base/random.h"
#include "base/retry.h"
#include "base/text.h"
#include "base/trace.h"
#include "cli/grammar.h"
#include "flows/portmap.h"
#include "gateway/reach.h"
#include "portmap/natpmp.h"
#include "portmap/pcp.h"
#include "portmap/route.h"
#include "portmap/store.h"
#include "portmap/wire.h"

namespace {

// The held mapping ---------------------------------------------------------------------

/// What the holder keeps of one mapping between its steps.
struct HeldMapping {
  MapVia via = MapVia::kPcp;
  std::shared_ptr<PortmapServer> server;
  RunOptions options;
  HoldSink* sink = nullptr;  // where its events and notes go
  PortmapRequest request;    // external_port: as asked, then as granted
  // A pinhole: this host's IPv6 address opened on the port; the answer's port is not
  // looked at (servers repeat the one suggested), and the address is followed.
  bool pinhole = false;
  std::string moved_from;  // a pinhole's address before this host's changed, until held
  StoreSecret secret{};
  int tries = 0;          // renewals in a row that went unanswered
  int wait_ms = 0;        // the retransmission wait after the last of them
  int heard = 0;          // the gateway's announcements this mapping has been renewed after
  uint32_t lifetime = 0;  // as last granted
  std::string folder;     // the state's, where its record goes
  std::string unusable;   // why its secret cannot be had: nothing is asked of the gateway
};

/// Whether the gateway lost its mappings since its last answer or announcement (the
/// epoch test of the protocol that carried `epoch`); the epoch is kept for the next one.
bool epoch_reset(PortmapServer* server, bool pcp, uint32_t epoch) {
  const auto now = std::chrono::steady_clock::now();
  const uint64_t elapsed = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(now - server->epoch_at).count());
  const bool lost = server->epoch_known && (pcp ? pcp_epoch_lost(server->epoch, epoch, elapsed)
                                                : natpmp_epoch_lost(server->epoch, epoch, elapsed));
  server->epoch_known = true;
  server->epoch = epoch;
  server->epoch_at = now;
  return lost;
}

/// A draw for portmap_renewal_lease.
double renewal_draw() {
  return random_unit();
}

/// The schedule of one renewal try: one send, and the wait for its answer.
PortmapSchedule renewal_schedule(HeldMapping* held, int* retransmit_ms) {
  *retransmit_ms = held->via == MapVia::kNatpmp
                       ? natpmp_retransmit_ms(held->tries + 1)
                       : pcp_retransmit_ms(held->wait_ms, pcp_retransmit_rand());
  return {{0}, std::min(*retransmit_ms, kHeldAnswerWaitMs)};
}

/// A pinhole follows this host's address toward the gateway (temporary addresses
/// rotate): the next MAP is for the new one, with its own nonce.
void follow_address(HeldMapping* held) {
  std::string now;
  bool bound = false;
  PortmapGateway& gateway = held->server->gateway;
  const Error error = route_host_address(gateway.address, &now, &bound);
  if (error != Error::kOk) {
    trace("portmap: this host's address toward %s is not known now (%s): it stays %s",
          gateway.address.c_str(), trace_error(error), held->request.internal_address.c_str());
    return;
  }
  if (now == held->request.internal_address) return;
  if (held->moved_from.empty()) held->moved_from = held->request.internal_address;
  held->request.internal_address = now;
  gateway.source = now;
  gateway.bound = bound;
}

/// The exchange of one step: the first add's one-shot schedule, or one renewal try.
PortmapGrant held_ask(HeldMapping* held, bool first, Deadline deadline, int* retransmit_ms) {
  const PortmapGateway& gateway = held->server->gateway;
  // Held on any port, the gateway's choice is taken at every step: a PCP renewal sends no
  // PREFER_FAILURE, and another port granted is the one held from then on.
  held->request.any_port = held->options.any_port;
  if (first) return portmap_exchange(held->via, gateway, held->request, held->secret, deadline);
  // While the gateway is away, the protocol's retransmission schedule, one try a step.
  const PortmapSchedule schedule =
      portmap_schedule_by(renewal_schedule(held, retransmit_ms), deadline);
  if (held->via == MapVia::kNatpmp) return natpmp_map(gateway, held->request, schedule);
  return pcp_map(gateway, held->request,
                 store_nonce(held->secret, held->request.internal_address,
                             held->request.internal_port, held->request.protocol),
                 schedule);
}

/// A step the gateway did not answer, or refused: true with `*answer` saying so.
bool held_failed(HeldMapping* held, bool first, const PortmapGrant& grant, int retransmit_ms,
                 HoldAnswer* answer) {
  answer->error = grant.error;
  if (!portmap_answered(grant.error)) {
    answer->step = HoldStep::kAway;
    answer->ending = {Status::kFailure, kMessagePortmapNoAnswer, ExitStatus::kNoRouter};
    if (!first) {
      ++held->tries;
      held->wait_ms = retransmit_ms;
      answer->retry_ms = std::max(1, retransmit_ms - kHeldAnswerWaitMs);
    }
    return true;
  }
  held->tries = 0;
  held->wait_ms = 0;
  if (grant.error == Error::kOk) return false;
  answer->step = HoldStep::kRefused;
  answer->text = "the gateway answered " + portmap_cause(held->via, grant);
  answer->ending = {Status::kFailure, kMessagePortmapRefused, ExitStatus::kRefused};
  return true;
}

/// Whether the port granted will not do: not the port held (`before`) where no other
/// will, or not the internal one with --same-port. The grant is deleted then.
bool held_taken(HeldMapping* held, uint16_t before, const PortmapGrant& grant, Deadline deadline,
                HoldAnswer* answer) {
  const bool elsewhere = grant.external_port != before && !held->options.any_port;
  const bool not_same =
      held->options.same_port && grant.external_port != held->request.internal_port;
  if (held->pinhole || (!elsewhere && !not_same)) return false;
  PortmapRequest undo = held->request;
  undo.external_port = grant.external_port;
  undo.lifetime = 0;
  (void)portmap_exchange(held->via, held->server->gateway, undo, held->secret, deadline);
  answer->step = HoldStep::kTaken;
  answer->text = "the port is taken: the gateway offered " + std::to_string(grant.external_port) +
                 (not_same ? " for port " + std::to_string(held->request.internal_port) + " inside"
                           : std::string()) +
                 " (deleted)";
  answer->ending = {Status::kFailure, kMessagePortmapTaken, ExitStatus::kClash};
  return true;
}

/// The events of a grant held: added, moved, added again, or `changed` where a renewal
/// was granted another port than `before` (with --any-port).
void held_events(HeldMapping* held, bool first, uint16_t before, const PortmapGrant& grant,
                 HoldAnswer* answer) {
  answer->event = first ? "added" : "";
  if (!held->moved_from.empty()) {
    // The server takes a delete only from the address it maps: the old one's lifetime
    // ends it.
    answer->event = "moved";
    answer->internal_client = held->request.internal_address;
    answer->text = "this host's address was " + held->moved_from +
                   ": opened for the new one; the old one ends with its lifetime";
    held->moved_from.clear();
  }
  const bool lost = epoch_reset(held->server.get(), held->via == MapVia::kPcp, grant.epoch);
  if (!first && lost) {
    // The gateway's other mappings went with this one: the loop renews them.
    answer->router_lost_all = true;
    answer->event = "added again";
    answer->text = "the gateway lost its mappings (its epoch)";
  } else if (!first && held->heard != held->server->announcements) {
    answer->text +=
        (answer->text.empty() ? "" : "; ") + std::string("after the gateway's announcement");
  }
  held->heard = held->server->announcements;
  if (!first && !held->pinhole && grant.external_port != before) {
    // Whatever else it says, the port is news for the hook.
    answer->event = "changed";
    answer->text = "the gateway granted port " + std::to_string(grant.external_port) + ", not " +
                   std::to_string(before) + (answer->text.empty() ? "" : "; ") + answer->text;
  }
}

HoldAnswer held_map(HeldMapping* held, bool first, Deadline deadline) {
  HoldAnswer answer;
  int retransmit_ms = 0;
  if (held->pinhole && !first) follow_address(held);
  const uint16_t before = held->request.external_port;
  PortmapGrant grant = held_ask(held, first, deadline, &retransmit_ms);
  if (!held->pinhole && held->options.same_port) {
    grant = portmap_follow_same_port(held->via, held->server->gateway, &held->request, grant,
                                     held->secret, deadline);
  }
  if (held_failed(held, first, grant, retransmit_ms, &answer)) return answer;
  if (held_taken(held, before, grant, deadline, &answer)) return answer;
  if (!held->pinhole) {
    held->request.external_port = grant.external_port;
    answer.external_port = grant.external_port;
    answer.internal_port = held->request.internal_port;
  }
  held->lifetime = grant.lifetime;
  held_events(held, first, before, grant, &answer);
  answer.text += (answer.text.empty() ? "" : "; ") + std::to_string(grant.lifetime) + " s granted";
  answer.lease_seconds = grant.lifetime;
  answer.renew_lease_seconds = portmap_renewal_lease(held->via, grant.lifetime, renewal_draw());
  // PCP's answer names the external address (NAT-PMP's does not): a new one is `changed`.
  if (held->via == MapVia::kPcp && !held->pinhole) {
    answer.external_address = grant.external_address;
  }
  return answer;
}

/// The held entry's secret; where it cannot be had, why: its first add refuses then,
/// never a nonce under a key of zeros.
void take_secret(HeldMapping* held) {
  if (store_secret(held->folder, &held->secret, &held->unusable) != Error::kOk &&
      held->unusable.empty()) {
    held->unusable = "the secret cannot be had";
  }
}

/// How a held add that cannot be kept ends: as the one-shot add (or pinhole) does.
HoldAnswer held_refusal(const std::string& why, Status status, const char* message) {
  HoldAnswer answer;
  answer.step = HoldStep::kRefused;
  answer.error = Error::kPortmapStore;
  answer.text = why;
  answer.ending = {status, message, ExitStatus::kRefused};
  return answer;
}

// The loop's step sets the time its exchanges have, as a UPnP router's handle carries it.
HoldAnswer held_hold(HeldMapping* held, const GatewayHandle& loop) {
  if (!held->unusable.empty()) {
    return held->pinhole ? held_refusal(held->unusable, Status::kPinholeFailed,
                                        "Pinhole Failure -> This Host's PCP Secret Cannot Be Made.")
                         : held_refusal(held->unusable, Status::kAddRefused, kMessagePortmapSecret);
  }
  HoldAnswer answer = held_map(held, true, loop.deadline);
  if (answer.step != HoldStep::kHeld || held->pinhole) return answer;
  // As a one-shot add's: held only with its record on disk, for a later run to remove it
  // should this one end without its release.
  const PortmapRequest& m = held->request;
  std::string problem;
  if (store_put(held->folder,
                {map_via_name(held->via), held->server->gateway.address, m.protocol,
                 m.external_port, m.internal_port, m.internal_address},
                &problem) != Error::kOk) {
    portmap_delete_granted(held->via, held->server->gateway, m, m.external_port, held->secret);
    return held_refusal(problem + " (the mapping was deleted again)", Status::kAddRefused,
                        kMessagePortmapState);
  }
  return answer;
}

/// The record of a mapping held on other ports now: the old one goes, the new one is
/// put, for a later run to remove what is held.
void rerecord(const HeldMapping& held, const PortmapRequest& before) {
  const std::string& gateway = held.server->gateway.address;
  const PortmapRequest& m = held.request;
  const std::string stays = portmap_forget(
      held.folder, {map_via_name(held.via), gateway, before.protocol, before.external_port,
                    before.internal_port, before.internal_address});
  if (!stays.empty()) held.sink->note("portwrangler: the record of the mapping stays: " + stays);
  std::string problem;
  if (store_put(held.folder,
                {map_via_name(held.via), gateway, m.protocol, m.external_port, m.internal_port,
                 m.internal_address},
                &problem) != Error::kOk) {
    held.sink->note("portwrangler: the record of the mapping cannot be written: " + problem);
  }
}

HoldAnswer held_renew(HeldMapping* held, const GatewayHandle& loop) {
  const PortmapRequest before = held->request;
  HoldAnswer answer = held_map(held, false, loop.deadline);
  if (answer.step == HoldStep::kHeld && !held->pinhole &&
      (before.external_port != held->request.external_port ||
       before.internal_port != held->request.internal_port)) {
    rerecord(*held, before);
  }
  return answer;
}

HoldAnswer held_release(HeldMapping* held, const GatewayHandle& loop) {
  PortmapRequest undo = held->request;
  undo.lifetime = 0;
  const PortmapGrant grant =
      portmap_exchange(held->via, held->server->gateway, undo, held->secret, loop.deadline);
  HoldAnswer answer;
  answer.error = grant.error;
  if (grant.error == Error::kOk) {
    answer.step = HoldStep::kGone;
    answer.event = "removed";
    if (!held->pinhole) {
      const std::string stays = portmap_forget(
          held->folder, {map_via_name(held->via), held->server->gateway.address, undo.protocol,
                         undo.external_port, undo.internal_port, undo.internal_address});
      if (!stays.empty()) {
        held->sink->note("portwrangler: the record of the mapping stays: " + stays);
      }
    }
    return answer;
  }
  answer.step = grant.error == Error::kPortmapNoAnswer ? HoldStep::kAway : HoldStep::kRefused;
  answer.event = "not removed";
  answer.text = grant.error == Error::kPortmapRefused
                    ? "the gateway answered " + portmap_cause(held->via, grant)
                    : "the gateway did not answer";
  answer.ending = {Status::kFailure, kMessagePortmapNotRemoved, ExitStatus::kRefused};
  if (held->pinhole && grant.error == Error::kPortmapRefused && grant.result == kPcpNotAuthorized) {
    // A server that lost the pinhole's nonce on a renewal (ours does) still renews it:
    // the shortest lifetime it grants ends it soonest.
    undo.lifetime = 1;
    const PortmapGrant cut =
        portmap_exchange(held->via, held->server->gateway, undo, held->secret, loop.deadline);
    if (cut.error == Error::kOk) {
      answer.text += format_string("; its lifetime cut to %u s", cut.lifetime);
    }
  }
  return answer;
}

/// The reachability note, once for each external address the gateway's answers tell.
std::string held_reach_note(const HeldMapping& held, const std::string& address) {
  if (address.empty() || held.server->reach_noted == address) return "";
  held.server->reach_noted = address;
  return reach_note(reach_of(address));
}

HeldSubject held_subject(HeldMapping* held, const HoldAnswer& answer) {
  HeldSubject subject;
  subject.what = held->pinhole ? HeldSubject::What::kPcpPinhole : HeldSubject::What::kMapping;
  subject.via = held->via;
  subject.mapping = &held->request;
  subject.lifetime = held->lifetime;
  if (!held->pinhole) subject.reach_note = held_reach_note(*held, answer.external_address);
  return subject;
}

/// A random wait before the renewals an announcement calls for.
int announcement_wait_ms() {
  return random_between(0, kAnnouncementWaitMaxMs);
}

/// What the gateway said since the last look: -1 when nothing calls for renewals; else
/// the wait before them (at once where an answer's epoch showed the loss).
int server_heard(PortmapServer* server) {
  int after = -1;
  WireAnnouncement said;
  while (server->listener &&
         portmap_take_announcement(server->listener.get(), server->gateway.address, &said) ==
             Error::kOk) {
    const bool lost = epoch_reset(server, said.pcp, said.epoch);
    ++server->announcements;
    // NAT-PMP renews at once on a lost epoch; PCP, and any other news, after a random wait.
    const int wait = lost && !said.pcp ? 0 : announcement_wait_ms();
    trace("portmap: %s announced itself (%s, epoch %u%s): its mappings are renewed in %d ms",
          server->gateway.address.c_str(), said.pcp ? "PCP" : "NAT-PMP", said.epoch,
          lost ? ", its mappings lost" : "", wait);
    after = after < 0 ? wait : std::min(after, wait);
  }
  return after;
}

}  // namespace

int64_t portmap_renewal_lease(MapVia via, uint32_t lifetime, double draw) {
  // The loop renews at half the lease: a lease of 1 to 1.25 lifetimes is 1/2 to 5/8.
  const int64_t lease =
      via != MapVia::kPcp ? lifetime : static_cast<int64_t>(lifetime * (1.0 + draw / 4));
  return std::max<int64_t>(lease, 2 * kPortmapRenewFloorSeconds);
}

std::shared_ptr<PortmapServer> portmap_server(const PortmapGateway& gateway) {
  auto server = std::make_shared<PortmapServer>();
  server->gateway = gateway;
  const bool v6 = net_host_is_v6(gateway.address);
  if (portmap_listen(&server->listener, gateway) != Error::kOk) {
    trace("portmap: the gateway's announcements are not heard (UDP port %d, %s)",
          kPortmapClientPort, v6 ? kPortmapAnnounceGroup6 : kPortmapAnnounceGroup);
  }
  return server;
}

const char* portmap_router(const PortmapServer& server) {
  return net_host_is_v6(server.gateway.address) ? kHoldRouterPortmap6 : kHoldRouterPortmap;
}

HoldListener portmap_listener(const std::shared_ptr<PortmapServer>& server) {
  HoldListener listener;
  listener.router = portmap_router(*server);
  listener.sockets = [server]() {
    return server->listener ? std::vector<long long>{server->listener->descriptor}
                            : std::vector<long long>{};
  };
  listener.heard = [server]() { return server_heard(server.get()); };
  return listener;
}

HeldEntry hold_portmap(MapVia via, const RequestRecord& request,
                       const std::shared_ptr<PortmapServer>& server, const RunOptions& options,
                       HoldSink* sink) {
  auto held = std::make_shared<HeldMapping>();
  held->via = via;
  held->server = server;
  held->options = options;
  held->sink = sink;
  held->request.protocol = protocol_number(request.protocol);
  held->request.internal_address = portmap_client(request, server->gateway);
  held->request.internal_port = request.internal_port;
  held->request.external_port = request.external_port;
  held->request.lifetime = portmap_lifetime_asked(options);
  held->folder = store_folder();
  if (via == MapVia::kPcp) take_secret(held.get());
  held->heard = server->announcements;
  HeldEntry entry;
  entry.kind = hold_kind(held, held_hold, held_renew, held_hold, held_release, held_subject);
  entry.sink = sink;
  entry.router = portmap_router(*server);
  return entry;
}

HeldEntry hold_pcp_pinhole(const RequestRecord& request,
                           const std::shared_ptr<PortmapServer>& server, HoldSink* sink) {
  auto held = std::make_shared<HeldMapping>();
  held->via = MapVia::kPcp;
  held->pinhole = true;
  held->server = server;
  held->sink = sink;
  held->request.protocol = protocol_number(request.protocol);
  held->request.internal_address = server->gateway.source;
  held->request.internal_port = held->request.external_port = request.pinhole_port;
  held->request.lifetime = request.pinhole_lease;
  held->folder = store_folder();
  take_secret(held.get());
  held->heard = server->announcements;
  HeldEntry entry;
  entry.kind = hold_kind(held, held_hold, held_renew, held_hold, held_release, held_subject);
  entry.sink = sink;
  entry.router = portmap_router(*server);
  entry.lease_seconds = request.pinhole_lease;
  return entry;
}
