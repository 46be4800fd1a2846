#include "flows/portmap.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>

#include "base/clock.h"
#include "base/format.h"
#include "base/limits.h"
#include "base/text.h"
#include "base/trace.h"
#include "cli/grammar.h"
#include "flows/change.h"
#include "flows/pinhole.h"
#include "gateway/discovery.h"
#include "gateway/mapping.h"
#include "gateway/reach.h"
#include "net/socket.h"
#include "net/url.h"
#include "portmap/natpmp.h"
#include "portmap/pcp.h"
#include "portmap/route.h"
#include "portmap/store.h"
#include "portmap/wire.h"
#include "render/console.h"
#include "render/json.h"
#include "render/screens_change.h"

namespace {

using nlohmann::json;

const char* via_title(MapVia via) {
  return via == MapVia::kNatpmp ? "NAT-PMP" : "PCP";
}

/// What a delete's answer says of the mapping, or what the UPnP table says where the answer
/// cannot (NAT-PMP answers success whether or not anything was removed).
enum class Confirmation {
  kByAnswer,    // the answer itself tells (PCP)
  kGone,        // the UPnP table at the gateway holds the port no more
  kStillThere,  // it still holds it
  kCannot,      // no UPnP router at the gateway to ask, or it could not be read
};

/// What a command through NAT-PMP or PCP came to: the plain result both faces show.
struct PortmapResult {
  const char* command = "add";
  MapVia via = MapVia::kPcp;
  Outcome outcome{Status::kSuccess, ""};
  std::string message;  // the status box's text, when it tells a failure
  std::string cause;    // the gateway's words for it
  uint8_t protocol = kIpProtocolTcp;
  std::string client;
  uint16_t internal_port = 0;
  uint16_t external_port = 0;  // granted (asked, where nothing was granted)
  uint16_t asked_port = 0;
  uint32_t lifetime_asked = 0;
  PortmapGrant grant;
  std::string gateway;  // the address asked
  Confirmation confirmed = Confirmation::kByAnswer;
  std::string external_address;
  Reach reach = Reach::kUnknown;  // what the address told says of reaching the mappings
  std::string address_row;        // the External IP row where no address was told
};

// NAT-PMP's NETWORK_FAILURE: the gateway has no external address yet (RFC 6886).
constexpr int kNatpmpNoAddressYet = 3;

/// What an answer told of the external address, into `result`: the address and its
/// reach, or why none is shown. NAT-PMP's "none yet" is an address the internet cannot
/// reach, as a UPnP router's empty one is.
void take_address(const PortmapGrant& told, PortmapResult* result) {
  if (told.error == Error::kOk) {
    result->external_address = told.external_address;
    result->reach = reach_of(told.external_address);
    return;
  }
  if (told.error == Error::kPortmapRefused && told.result == kNatpmpNoAddressYet) {
    result->reach = Reach::kEmpty;
    result->address_row = "not told: no external address yet (NAT-PMP result 3)";
  } else if (told.error == Error::kPortmapBadAddress) {
    result->reach = reach_of(told.external_address);
    result->address_row = result->reach == Reach::kUnspecified
                              ? "not told: no external address yet (0.0.0.0)"
                              : "not usable: the gateway named " + told.external_address;
  } else if (told.error == Error::kPortmapRefused) {
    result->address_row = "not told: " + portmap_cause(MapVia::kNatpmp, told);
  } else {
    result->address_row = "not told: the gateway does not answer NAT-PMP";
  }
}

/// Reads the UPnP table of a router at `gateway`, if one answers the search there, for
/// the mapping a NAT-PMP delete named: another host's entry on the port is not ours.
Confirmation confirm_gone(const RunOptions& options, const PortmapGateway& gateway,
                          const MappingRequest& mapping) {
  DiscoveryOptions search{"", options.interface_name, false, deadline_in(kConfirmSearchMs)};
  GatewayHandle upnp;
  Error error = discover_gateway(search, &upnp);
  Url control;
  if (error == Error::kOk) error = url_parse(upnp.control_url, &control);
  if (error != Error::kOk) {
    trace("portmap: no UPnP router to confirm the delete by: %s", trace_error(error));
    return Confirmation::kCannot;
  }
  if (control.host != gateway.address) {
    trace("portmap: the UPnP router found is %s, not the gateway", control.host.c_str());
    return Confirmation::kCannot;
  }
  upnp.deadline = deadline_in(kConfirmReadMs);
  MappingEntry entry;
  error = gateway_specific_entry(upnp, mapping.external_port, mapping.protocol, &entry);
  if (error == Error::kGatewayMappingRefused) return Confirmation::kGone;
  if (error == Error::kOk) {
    return entry_is_ours(entry, mapping) ? Confirmation::kStillThere : Confirmation::kGone;
  }
  trace("portmap: the UPnP table cannot be read to confirm the delete: %s", trace_error(error));
  return Confirmation::kCannot;
}

const char* protocol_text(uint8_t protocol) {
  return protocol == kIpProtocolUdp ? "UDP" : "TCP";
}

PortmapResult failed(PortmapResult result, Status status, const std::string& message,
                     ExitStatus exit) {
  result.outcome = {status, "", exit};
  result.message = message;
  return result;
}

/// The outcome of a refused exchange: no answer at all, or the gateway's refusal.
PortmapResult refused(PortmapResult result, const std::string& gateway, Status refusal,
                      const std::string& what) {
  result.cause = portmap_cause(result.via, result.grant);
  if (result.grant.error == Error::kPortmapNatpmpOnly) {
    // It answered, in the other protocol: what would work is said, not "no answer".
    result.cause = "the gateway speaks NAT-PMP, not PCP: use --protocol natpmp";
    std::fprintf(stderr, "portwrangler: %s\n", result.cause.c_str());
    return failed(result, refusal,
                  what + " Failure -> The Gateway Speaks NAT-PMP, Not PCP: Use --protocol natpmp.",
                  ExitStatus::kRefused);
  }
  if (result.grant.error == Error::kPortmapNoAnswer) {
    return failed(
        result, Status::kPortmapNoGateway,
        std::string(via_title(result.via)) + " Failure -> No Answer From " + gateway + ".",
        ExitStatus::kNoRouter);
  }
  if (result.via == MapVia::kPcp && result.grant.result == kPcpAddressMismatch) {
    // The reachability note, as a UPnP router's private external address gives it.
    std::fprintf(stderr,
                 "portwrangler: entries on this router cannot be reached from the internet: "
                 "another NAT stands between this host and the PCP server (ADDRESS_MISMATCH)\n");
  }
  return failed(
      result, refusal,
      what + " Failure -> " + result.cause + " From The " + via_title(result.via) + " Gateway.",
      ExitStatus::kRefused);
}

/// One exchange of `request` through `via`, over by `deadline`.
PortmapGrant exchange(MapVia via, const PortmapGateway& gateway, const PortmapRequest& request,
                      const StoreSecret& secret, Deadline deadline) {
  if (via == MapVia::kNatpmp) {
    return natpmp_map(gateway, request, portmap_schedule_by(natpmp_one_shot_schedule(), deadline));
  }
  const PcpNonce nonce =
      store_nonce(secret, request.internal_address, request.internal_port, request.protocol);
  return pcp_map(gateway, request, nonce, portmap_schedule_by(pcp_one_shot_schedule(), deadline));
}

/// The lifetime-0 exchange that deletes what the gateway granted on `external_port`.
void delete_granted(MapVia via, const PortmapGateway& gateway, const PortmapRequest& map,
                    uint16_t external_port, const StoreSecret& secret) {
  PortmapRequest undo = map;
  undo.external_port = external_port;
  undo.lifetime = 0;
  const PortmapGrant deleted = exchange(via, gateway, undo, secret, gateway.deadline);
  if (deleted.error != Error::kOk) {
    trace("portmap: the mapping granted on port %u could not be deleted: %s", external_port,
          portmap_cause(via, deleted).c_str());
  }
}

/// --same-port: while the port granted is not the internal one, that grant is deleted and
/// the port granted asked for inside and out, kSamePortAsksMax asks in all (a gateway that
/// keeps the ports apart frees the first; a VPN gateway grants its port again). `*map`
/// names the ports last asked; the last grant is returned, whatever it was.
PortmapGrant follow_same_port(MapVia via, const PortmapGateway& gateway, PortmapRequest* map,
                              PortmapGrant grant, const StoreSecret& secret, Deadline deadline) {
  for (int ask = 1; ask < kSamePortAsksMax && grant.error == Error::kOk &&
                    grant.external_port != map->internal_port;
       ++ask) {
    PortmapRequest undo = *map;
    undo.external_port = grant.external_port;
    undo.lifetime = 0;
    const PortmapGrant deleted = exchange(via, gateway, undo, secret, deadline);
    if (deleted.error != Error::kOk) {
      trace("portmap: the grant of port %u for port %u inside could not be deleted: %s",
            grant.external_port, map->internal_port, portmap_cause(via, deleted).c_str());
    }
    map->internal_port = map->external_port = grant.external_port;
    grant = exchange(via, gateway, *map, secret, deadline);
  }
  return grant;
}

/// Takes the record of a mapping that is gone: one left behind only has a later -remove
/// ask the gateway again.
void forget(const std::string& folder, const StoredMapping& record) {
  std::string problem;
  if (store_drop(folder, record, &problem) != Error::kOk) {
    std::fprintf(stderr, "portwrangler: the record of the mapping stays: %s\n", problem.c_str());
  }
}

constexpr char kMessageSecret[] = "Add Entry Failure -> This Host's PCP Secret Cannot Be Made.";
constexpr char kMessageState[] =
    "Add Entry Failure -> This Host's NAT-PMP/PCP State Cannot Be Written.";

PortmapResult add_apply(MapVia via, const RequestRecord& request, const PortmapGateway& gateway,
                        const RunOptions& options) {
  PortmapResult result;
  result.via = via;
  result.protocol =
      text_equal_ignoring_case(request.protocol, "UDP") ? kIpProtocolUdp : kIpProtocolTcp;
  result.client = request.ip_address.empty() ? gateway.source : address_meant(request.ip_address);
  result.internal_port = request.internal_port;
  result.asked_port = result.external_port = request.external_port;
  result.lifetime_asked =
      options.lease_seconds > 0 ? options.lease_seconds : kPortmapLifetimeSeconds;
  if (via == MapVia::kNatpmp && result.client != gateway.source) {
    return failed(result, Status::kPortmapThirdParty,
                  "Add Entry Failure -> NAT-PMP Maps For This Host Alone: No -ip.",
                  ExitStatus::kBadCommand);
  }
  const std::string folder = store_folder();
  StoreSecret secret{};
  if (via == MapVia::kPcp && store_secret(folder, &secret, &result.cause) != Error::kOk) {
    return failed(result, Status::kAddRefused, kMessageSecret, ExitStatus::kRefused);
  }
  PortmapRequest map{result.protocol, result.client, result.internal_port, result.asked_port,
                     result.lifetime_asked};
  map.any_port = options.any_port;
  result.grant = exchange(via, gateway, map, secret, gateway.deadline);
  if (options.same_port) {
    result.grant = follow_same_port(via, gateway, &map, result.grant, secret, gateway.deadline);
    result.internal_port = map.internal_port;
  }
  if (result.grant.error != Error::kOk) {
    return refused(result, gateway.address, Status::kAddRefused, "Add Entry");
  }
  result.external_port = result.grant.external_port;
  if (via == MapVia::kPcp) take_address(result.grant, &result);
  if ((result.external_port != result.asked_port && !options.any_port) ||
      (options.same_port && result.external_port != result.internal_port)) {
    // The port asked is the port held: a mapping elsewhere goes at once.
    delete_granted(via, gateway, map, result.external_port, secret);
    result.cause = "the gateway offered port " + std::to_string(result.external_port);
    return failed(result, Status::kDuplicate,
                  "Add Entry Failure -> Port Taken: The Gateway Offered " +
                      std::to_string(result.external_port) + ".",
                  ExitStatus::kClash);
  }
  const StoredMapping record{map_via_name(via),    gateway.address,      result.protocol,
                             result.external_port, result.internal_port, result.client};
  if (store_put(folder, record, &result.cause) != Error::kOk) {
    // Added is what a later run can renew and remove: without its record it goes at once.
    delete_granted(via, gateway, map, result.external_port, secret);
    result.cause += " (the mapping was deleted again)";
    return failed(result, Status::kAddRefused, kMessageState, ExitStatus::kRefused);
  }
  if (via == MapVia::kNatpmp) {
    // NAT-PMP's map answer names no external address: its own request does.
    take_address(natpmp_external_address(
                     gateway, portmap_schedule_by(natpmp_one_shot_schedule(), gateway.deadline)),
                 &result);
  }
  return result;
}

/// The record of the mapping `*record` names by its way, gateway, protocol and external
/// port, read into it (`*known`); kPortmapStore when the table cannot be read.
Error find_record(const std::string& folder, StoredMapping* record, bool* known,
                  std::string* problem) {
  std::vector<StoredMapping> table;
  const Error error = store_load(folder, &table, problem);
  for (const StoredMapping& m : table) {
    if (m.via == record->via && m.gateway == record->gateway && m.protocol == record->protocol &&
        m.external_port == record->external_port) {
      *record = m;
      *known = true;
    }
  }
  return error;
}

PortmapResult remove_apply(MapVia via, const RequestRecord& request, const PortmapGateway& gateway,
                           const RunOptions& options) {
  PortmapResult result;
  result.command = "remove";
  result.via = via;
  result.protocol =
      text_equal_ignoring_case(request.protocol, "UDP") ? kIpProtocolUdp : kIpProtocolTcp;
  result.asked_port = result.external_port = request.external_port;
  result.gateway = gateway.address;
  const std::string folder = store_folder();
  StoredMapping kept{
      map_via_name(via), gateway.address, result.protocol, request.external_port, 0, ""};
  bool known = false;
  if (find_record(folder, &kept, &known, &result.cause) != Error::kOk) {
    return failed(result, Status::kRemoveRefused,
                  "Remove Entry Failure -> This Host's NAT-PMP/PCP State Cannot Be Read.",
                  ExitStatus::kRefused);
  }
  if (!known) {
    result.cause = "no record in " + folder;
    return failed(result, Status::kRemoveRefused,
                  "Remove Entry Failure -> No Mapping Of This Host Known On That Port.",
                  ExitStatus::kRefused);
  }
  result.client = kept.internal_address;
  result.internal_port = kept.internal_port;
  StoreSecret secret{};
  if (via == MapVia::kPcp && store_secret(folder, &secret, &result.cause) != Error::kOk) {
    return failed(result, Status::kRemoveRefused,
                  "Remove Entry Failure -> This Host's PCP Secret Cannot Be Read.",
                  ExitStatus::kRefused);
  }
  result.grant = exchange(
      via, gateway, {result.protocol, result.client, result.internal_port, result.asked_port, 0},
      secret, gateway.deadline);
  if (result.grant.error != Error::kOk) {
    return refused(result, gateway.address, Status::kRemoveRefused, "Remove Entry");
  }
  // A NAT-PMP delete answers success whether or not it removed anything.
  if (via != MapVia::kNatpmp) {
    forget(folder, kept);
    return result;
  }
  MappingRequest mapping;
  mapping.client = result.client;
  mapping.external_port = result.external_port;
  mapping.internal_port = result.internal_port;
  mapping.protocol = protocol_text(result.protocol);
  result.confirmed = confirm_gone(options, gateway, mapping);
  if (result.confirmed == Confirmation::kStillThere) {
    result.cause = "NAT-PMP answered success, but the UPnP table of " + gateway.address +
                   " still holds the port";
    return failed(result, Status::kRemoveRefused,
                  "Remove Entry Failure -> Still In The Gateway's UPnP Table.",
                  ExitStatus::kRefused);  // its record stays, for a later -remove
  }
  forget(folder, kept);
  return result;
}

PortmapResult stats_apply(MapVia via, const PortmapGateway& gateway) {
  PortmapResult result;
  result.command = "stats";
  result.via = via;
  // PCP has no request for the address alone; a server that speaks both answers NAT-PMP's.
  result.grant = natpmp_external_address(
      gateway, portmap_schedule_by(natpmp_one_shot_schedule(), gateway.deadline));
  take_address(result.grant, &result);
  if (result.grant.error != Error::kOk && via == MapVia::kNatpmp) {
    return refused(result, gateway.address, Status::kNoExternalAddress, "External Address");
  }
  return result;
}

// The screens ----------------------------------------------------------------------------

void print_mapping_row(const char* label, const std::string& text) {
  console_printf("| %-11s |  %s  %1s\n", label, cell(text, 50).c_str(), "|");
  print_rule_line();
}

void print_failure_box(const PortmapResult& result) {
  print_rule_line();
  console_printf("%s",
                 framed_row("| Status: [" + three_digits(static_cast<int>(result.outcome.status)) +
                            "] - (" + via_title(result.via) + " Gateway Error)")
                     .c_str());
  print_rule_line();
  print_message_rows(result.message);
  print_rule_line();
}

std::string address_text(const PortmapResult& result) {
  return result.external_address.empty() ? result.address_row : result.external_address;
}

std::string lifetime_text(const PortmapResult& result) {
  return std::to_string(result.grant.lifetime) + " s granted of " +
         std::to_string(result.lifetime_asked) + " s asked";
}

void show(const PortmapResult& result) {
  const bool failure = result.outcome.status != Status::kSuccess;
  if (failure) print_failure_box(result);
  const std::string title = std::string(via_title(result.via)) + " Gateway - Port Mapping";
  std::string heading;
  if (std::string(result.command) == "add") {
    heading = failure ? "| [Entry Not Added]   -   " : "| [Entry Added]   -   ";
  } else if (std::string(result.command) == "remove") {
    heading = failure ? "| [Entry Not Removed]   -   " : "| [Entry Removed]   -   ";
  } else {
    heading = "| [Statistics]   -   ";
  }
  if (failure) print_highlight_bar();
  print_boxed_title(framed_row(heading + title).c_str());
  if (std::string(result.command) == "stats") {
    print_mapping_row("Protocol", via_title(result.via));
    print_mapping_row("Local IP", result.client);
    print_mapping_row("External IP", address_text(result));
    print_mapping_row("Epoch",
                      result.grant.error == Error::kOk
                          ? std::to_string(result.grant.epoch) + " s since the gateway's start"
                          : "not told");
    print_mapping_row("Table", "not told: NAT-PMP and PCP cannot list mappings");
    return;
  }
  if (result.client.empty()) {
    console_printf("| External Port |  %5d                                             |\n",
                   result.asked_port);
    print_rule_line();
    return;
  }
  print_entry_block(std::string("N/A: ") + via_title(result.via) + " carries no description",
                    protocol_text(result.protocol), result.client,
                    std::to_string(result.internal_port), std::to_string(result.external_port));
  if (failure) return;
  if (std::string(result.command) == "add") {
    print_mapping_row("External IP", address_text(result));
    print_mapping_row("Lifetime", lifetime_text(result));
    print_mapping_row(
        "Ends", "in " + std::to_string(result.grant.lifetime) + " s unless renewed (-add again)");
  } else if (result.confirmed == Confirmation::kGone) {
    print_mapping_row("Confirmed", "yes: gone from the UPnP table of " + result.gateway);
  } else if (result.confirmed == Confirmation::kCannot) {
    print_mapping_row("Confirmed", "cannot be: NAT-PMP answers success either way,");
    print_mapping_row("", "and no UPnP table at " + result.gateway + " tells");
  }
}

// The JSON document ------------------------------------------------------------------------

std::string document(const PortmapResult& result, const PortmapGateway& gateway) {
  if (std::string(result.command) == "none") {
    return json({{"protocol_used", map_via_name(result.via)},
                 {"error",
                  {{"status", static_cast<int>(result.outcome.status)},
                   {"name", json_status_name(result.outcome.status)},
                   {"message", result.message}}}})
               .dump() +
           "\n";
  }
  json router = {{"gateway", gateway.address}, {"local_address", gateway.source}};
  router["external_address"] =
      result.external_address.empty() ? json(nullptr) : json(result.external_address);
  // As a UPnP router's: null where nothing was told.
  router["reachable_from_internet"] =
      result.reach == Reach::kUnknown ? json(nullptr) : json(!reach_blocked(result.reach));
  router["unreachable_reason"] =
      reach_blocked(result.reach) ? json(reach_reason(result.reach)) : json(nullptr);
  json doc = {
      {"command", result.command}, {"protocol_used", map_via_name(result.via)}, {"router", router}};
  const bool done = result.outcome.status == Status::kSuccess;
  if (std::string(result.command) == "stats") {
    doc["epoch_seconds"] =
        result.grant.error == Error::kOk ? json(result.grant.epoch) : json(nullptr);
  } else {
    doc[std::string(result.command) == "add" ? "added" : "removed"] = done;
    json entry = {{"protocol", protocol_text(result.protocol)},
                  {"external_port", result.external_port},
                  {"internal_client", result.client},
                  {"internal_port", result.internal_port},
                  {"description", nullptr}};
    entry["lease_seconds"] =
        done && std::string(result.command) == "add" ? json(result.grant.lifetime) : json(nullptr);
    doc["entry"] = result.client.empty() ? json(nullptr) : entry;
    doc["external_port_asked"] = result.asked_port;
    if (std::string(result.command) == "add") doc["lease_asked"] = result.lifetime_asked;
    if (std::string(result.command) == "remove") {
      doc["confirmed"] = done && (result.confirmed == Confirmation::kByAnswer ||
                                  result.confirmed == Confirmation::kGone);
    }
  }
  if (!done) {
    doc["error"] = {{"status", static_cast<int>(result.outcome.status)},
                    {"name", json_status_name(result.outcome.status)},
                    {"message", result.message},
                    {"cause", result.cause}};
  }
  return doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// The held mapping ---------------------------------------------------------------------

/// What the holder keeps of one mapping between its steps.
struct HeldMapping {
  MapVia via = MapVia::kPcp;
  std::shared_ptr<PortmapServer> server;
  RunOptions options;
  PortmapRequest request;  // external_port: as asked, then as granted
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
  static std::minstd_rand random(std::random_device{}());
  std::uniform_real_distribution<double> draw(0.0, 1.0);
  return draw(random);
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
  if (first) return exchange(held->via, gateway, held->request, held->secret, deadline);
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
  (void)exchange(held->via, held->server->gateway, undo, held->secret, deadline);
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
    grant = follow_same_port(held->via, held->server->gateway, &held->request, grant, held->secret,
                             deadline);
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
                         : held_refusal(held->unusable, Status::kAddRefused, kMessageSecret);
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
    delete_granted(held->via, held->server->gateway, m, m.external_port, held->secret);
    return held_refusal(problem + " (the mapping was deleted again)", Status::kAddRefused,
                        kMessageState);
  }
  return answer;
}

/// The record of a mapping held on other ports now: the old one goes, the new one is
/// put, for a later run to remove what is held.
void rerecord(const HeldMapping& held, const PortmapRequest& before) {
  const std::string& gateway = held.server->gateway.address;
  const PortmapRequest& m = held.request;
  forget(held.folder, {map_via_name(held.via), gateway, before.protocol, before.external_port,
                       before.internal_port, before.internal_address});
  std::string problem;
  if (store_put(held.folder,
                {map_via_name(held.via), gateway, m.protocol, m.external_port, m.internal_port,
                 m.internal_address},
                &problem) != Error::kOk) {
    std::fprintf(stderr, "portwrangler: the record of the mapping cannot be written: %s\n",
                 problem.c_str());
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
      exchange(held->via, held->server->gateway, undo, held->secret, loop.deadline);
  HoldAnswer answer;
  answer.error = grant.error;
  if (grant.error == Error::kOk) {
    answer.step = HoldStep::kGone;
    answer.event = "removed";
    if (!held->pinhole) {
      forget(held->folder, {map_via_name(held->via), held->server->gateway.address, undo.protocol,
                            undo.external_port, undo.internal_port, undo.internal_address});
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
        exchange(held->via, held->server->gateway, undo, held->secret, loop.deadline);
    if (cut.error == Error::kOk) {
      answer.text += format_string("; its lifetime cut to %u s", cut.lifetime);
    }
  }
  return answer;
}

/// One event line of a held pinhole, as a UPnP pinhole's reads, with PCP named.
void pinhole_describe(const HeldMapping& held, const char* name, const HoldAnswer& answer) {
  const std::string time = keep_utc_now();
  const PortmapRequest& m = held.request;
  const std::string error = answer.error != Error::kOk ? trace_error(answer.error) : "";
  if (held.options.json) {
    const bool held_now = answer.step == HoldStep::kHeld && std::string(name) != "removed";
    const PinholeRequest shown{m.internal_address, m.internal_port, m.protocol,
                               held_now ? held.lifetime : m.lifetime};
    console_write(json_pinhole_event_line(time, name, answer.text, 0, shown, error, held.via));
    std::fflush(stdout);
    return;
  }
  const std::string line = format_string(
      "%s %s: PCP pinhole, %s [%s]:%u%s%s%s%s", time.c_str(), name, protocol_text(m.protocol),
      m.internal_address.c_str(), m.internal_port, answer.text.empty() ? "" : ", ",
      answer.text.c_str(), error.empty() ? "" : "; gateway: ", error.c_str());
  std::fputs((text_printable(line) + "\n").c_str(), stderr);
  std::fflush(stderr);
}

/// The reachability note, once for each external address the gateway's answers tell.
void note_held_reach(const HeldMapping& held, const std::string& address) {
  if (address.empty() || held.server->reach_noted == address) return;
  held.server->reach_noted = address;
  const std::string note = reach_note(reach_of(address));
  if (note.empty()) return;
  std::fputs(note.c_str(), stderr);
  std::fflush(stderr);
}

void held_describe(const HeldMapping& held, const char* name, const HoldAnswer& answer) {
  if (held.pinhole) {
    pinhole_describe(held, name, answer);
    return;
  }
  note_held_reach(held, answer.external_address);
  const std::string time = keep_utc_now();
  const PortmapRequest& m = held.request;
  if (held.options.json) {
    json line = {{"time", time},
                 {"event", name},
                 {"text", answer.text},
                 {"protocol_used", map_via_name(held.via)},
                 {"protocol", protocol_text(m.protocol)},
                 {"external_port", m.external_port},
                 {"internal_client", m.internal_address},
                 {"internal_port", m.internal_port}};
    const bool held_now = answer.step == HoldStep::kHeld && std::string(name) != "removed";
    line["lease_seconds"] = held_now ? json(held.lifetime) : json(nullptr);
    if (answer.error != Error::kOk) line["error"] = trace_error(answer.error);
    if (!answer.external_address.empty()) {
      const Reach reach = reach_of(answer.external_address);
      line["reachable_from_internet"] =
          reach == Reach::kUnknown ? json(nullptr) : json(!reach_blocked(reach));
      line["unreachable_reason"] = reach_blocked(reach) ? json(reach_reason(reach)) : json(nullptr);
    }
    console_write(line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    std::fflush(stdout);
    return;
  }
  std::fprintf(stderr, "%s %s: %s %s %u -> %s:%u%s%s\n", time.c_str(), name, via_title(held.via),
               protocol_text(m.protocol), m.external_port, m.internal_address.c_str(),
               m.internal_port, answer.text.empty() ? "" : ", ", answer.text.c_str());
  std::fflush(stderr);
}

/// A random wait before the renewals an announcement calls for.
int announcement_wait_ms() {
  static std::minstd_rand random(std::random_device{}());
  std::uniform_int_distribution<int> spread(0, kAnnouncementWaitMaxMs);
  return spread(random);
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
                       const std::shared_ptr<PortmapServer>& server, const RunOptions& options) {
  auto held = std::make_shared<HeldMapping>();
  held->via = via;
  held->server = server;
  held->options = options;
  held->request.protocol =
      text_equal_ignoring_case(request.protocol, "UDP") ? kIpProtocolUdp : kIpProtocolTcp;
  held->request.internal_address =
      request.ip_address.empty() ? server->gateway.source : address_meant(request.ip_address);
  held->request.internal_port = request.internal_port;
  held->request.external_port = request.external_port;
  held->request.lifetime =
      options.lease_seconds > 0 ? options.lease_seconds : kPortmapLifetimeSeconds;
  held->folder = store_folder();
  if (via == MapVia::kPcp) take_secret(held.get());
  held->heard = server->announcements;
  HeldEntry entry;
  entry.kind = hold_kind(held, held_hold, held_renew, held_hold, held_release, held_describe);
  entry.router = portmap_router(*server);
  return entry;
}

HeldEntry hold_pcp_pinhole(const RequestRecord& request,
                           const std::shared_ptr<PortmapServer>& server, bool json) {
  auto held = std::make_shared<HeldMapping>();
  held->via = MapVia::kPcp;
  held->pinhole = true;
  held->server = server;
  held->options.json = json;
  held->request.protocol = static_cast<uint8_t>(pinhole_protocol_number(request.protocol));
  held->request.internal_address = server->gateway.source;
  held->request.internal_port = held->request.external_port = request.pinhole_port;
  held->request.lifetime = request.pinhole_lease;
  held->folder = store_folder();
  take_secret(held.get());
  held->heard = server->announcements;
  HeldEntry entry;
  entry.kind = hold_kind(held, held_hold, held_renew, held_hold, held_release, held_describe);
  entry.router = portmap_router(*server);
  entry.lease_seconds = request.pinhole_lease;
  return entry;
}

std::string portmap_cause(MapVia via, const PortmapGrant& grant) {
  if (grant.error != Error::kPortmapRefused) return error_text(grant.error);
  const char* name =
      via == MapVia::kNatpmp ? natpmp_result_name(grant.result) : pcp_result_name(grant.result);
  return std::string(name) + " (" + std::to_string(grant.result) + ")";
}

Error portmap_find_gateway(const RunOptions& options, PortmapGateway* gateway, bool ipv6) {
  gateway->address = options.gateway;
  if (gateway->address.empty()) {
    const Error error = route_default_gateway(options.interface_name, &gateway->address, ipv6);
    if (error != Error::kOk) return error;
  }
  // IPv4 mappings name the source alone; an IPv6 one (a pinhole) an address the internet
  // reaches.
  if (!net_host_is_v6(gateway->address)) {
    return route_source_address(gateway->address, &gateway->source);
  }
  return route_host_address(gateway->address, &gateway->source, &gateway->bound);
}

Outcome portmap_flow(int code, MapVia via, const RequestRecord& request,
                     const PortmapGateway& gateway, const RunOptions& options) {
  PortmapResult result;
  result.via = via;
  switch (code) {
    case kAdd:
    case kAddWithDescription:
    case kAddClient:
    case kAddClientWithDescription:
      result = add_apply(via, request, gateway, options);
      break;
    case kRemove:
      result = remove_apply(via, request, gateway, options);
      break;
    case kStats:
      result = stats_apply(via, gateway);
      break;
    case kPinholeAdd:
    case kPinholeRemove:
      if (via == MapVia::kPcp) return pcp_pinhole_flow(code, request, gateway, options.json);
      [[fallthrough]];  // NAT-PMP maps IPv4 alone
    default:
      result.command = "none";
      result =
          failed(result, Status::kNeedsUpnp,
                 std::string("This Command Needs UPnP: ") + via_title(via) + " Cannot Carry It.",
                 ExitStatus::kBadCommand);
      break;
  }
  if (result.client.empty() && std::string(result.command) == "stats") {
    result.client = gateway.source;
  }
  const bool done = result.outcome.status == Status::kSuccess;
  const ExitStatus exit = done ? ExitStatus::kDone : result.outcome.exit;
  const std::string note = reach_note(result.reach);
  if (!note.empty()) {
    std::fputs(note.c_str(), stderr);
    std::fflush(stderr);
  }
  if (options.json) {
    std::string text;
    try {
      text = document(result, gateway);
    } catch (const std::exception&) {
      text = "{\"error\":{\"name\":\"no_memory\",\"message\":\"out of memory\"}}\n";
    }
    console_write(text);
  } else if (std::string(result.command) == "none") {
    print_failure_box(result);
  } else {
    show(result);
  }
  return done ? Outcome{Status::kSuccess, ""} : Outcome{Status::kFailure, "", exit};
}
