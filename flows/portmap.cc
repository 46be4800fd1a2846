#include "flows/portmap.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>

#include "base/clock.h"
#include "base/format.h"
#include "base/limits.h"
#include "base/protocol.h"
#include "base/text.h"
#include "base/trace.h"
#include "cli/grammar.h"
#include "flows/change.h"
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

namespace {

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
    result.notes.push_back(result.cause);
    return failed(result, refusal,
                  what + " Failure -> The Gateway Speaks NAT-PMP, Not PCP: Use --protocol natpmp.",
                  ExitStatus::kRefused);
  }
  if (result.grant.error == Error::kPortmapNoAnswer) {
    return failed(
        result, Status::kPortmapNoGateway,
        std::string(map_via_title(result.via)) + " Failure -> No Answer From " + gateway + ".",
        ExitStatus::kNoRouter);
  }
  if (result.via == MapVia::kPcp && result.grant.result == kPcpAddressMismatch) {
    // The reachability note, as a UPnP router's private external address gives it.
    result.notes.push_back(
        "entries on this router cannot be reached from the internet: "
        "another NAT stands between this host and the PCP server (ADDRESS_MISMATCH)");
  }
  return failed(
      result, refusal,
      what + " Failure -> " + result.cause + " From The " + map_via_title(result.via) + " Gateway.",
      ExitStatus::kRefused);
}

/// portmap_forget, its problem kept as a note of `result`.
void forget(const std::string& folder, const StoredMapping& record, PortmapResult* result) {
  const std::string problem = portmap_forget(folder, record);
  if (!problem.empty()) result->notes.push_back("the record of the mapping stays: " + problem);
}

}  // namespace

/// One exchange of `request` through `via`, over by `deadline`.
PortmapGrant portmap_exchange(MapVia via, const PortmapGateway& gateway,
                              const PortmapRequest& request, const StoreSecret& secret,
                              Deadline deadline) {
  if (via == MapVia::kNatpmp) {
    return natpmp_map(gateway, request, portmap_schedule_by(natpmp_one_shot_schedule(), deadline));
  }
  const PcpNonce nonce =
      store_nonce(secret, request.internal_address, request.internal_port, request.protocol);
  return pcp_map(gateway, request, nonce, portmap_schedule_by(pcp_one_shot_schedule(), deadline));
}

/// The lifetime-0 exchange that deletes what the gateway granted on `external_port`.
void portmap_delete_granted(MapVia via, const PortmapGateway& gateway, const PortmapRequest& map,
                            uint16_t external_port, const StoreSecret& secret) {
  PortmapRequest undo = map;
  undo.external_port = external_port;
  undo.lifetime = 0;
  const PortmapGrant deleted = portmap_exchange(via, gateway, undo, secret, gateway.deadline);
  if (deleted.error != Error::kOk) {
    trace("portmap: the mapping granted on port %u could not be deleted: %s", external_port,
          portmap_cause(via, deleted).c_str());
  }
}

/// --same-port: while the port granted is not the internal one, that grant is deleted and
/// the port granted asked for inside and out, kSamePortAsksMax asks in all (a gateway that
/// keeps the ports apart frees the first; a VPN gateway grants its port again). `*map`
/// names the ports last asked; the last grant is returned, whatever it was.
PortmapGrant portmap_follow_same_port(MapVia via, const PortmapGateway& gateway,
                                      PortmapRequest* map, PortmapGrant grant,
                                      const StoreSecret& secret, Deadline deadline) {
  for (int ask = 1; ask < kSamePortAsksMax && grant.error == Error::kOk &&
                    grant.external_port != map->internal_port;
       ++ask) {
    PortmapRequest undo = *map;
    undo.external_port = grant.external_port;
    undo.lifetime = 0;
    const PortmapGrant deleted = portmap_exchange(via, gateway, undo, secret, deadline);
    if (deleted.error != Error::kOk) {
      trace("portmap: the grant of port %u for port %u inside could not be deleted: %s",
            grant.external_port, map->internal_port, portmap_cause(via, deleted).c_str());
    }
    map->internal_port = map->external_port = grant.external_port;
    grant = portmap_exchange(via, gateway, *map, secret, deadline);
  }
  return grant;
}

/// Takes the record of a mapping that is gone: one left behind only has a later -remove
/// ask the gateway again.
std::string portmap_forget(const std::string& folder, const StoredMapping& record) {
  std::string problem;
  if (store_drop(folder, record, &problem) != Error::kOk) return problem;
  return std::string();
}

std::string portmap_client(const RequestRecord& request, const PortmapGateway& gateway) {
  return client_asked(request, gateway.source);
}

uint32_t portmap_lifetime_asked(const RunOptions& options) {
  return options.lease_seconds > 0 ? options.lease_seconds : kPortmapLifetimeSeconds;
}

namespace {

/// An add's exchange, followed for --same-port: the grant into `result`, the ports last
/// asked into `*map`.
void add_exchange(MapVia via, const PortmapGateway& gateway, const RunOptions& options,
                  const StoreSecret& secret, PortmapRequest* map, PortmapResult* result) {
  map->any_port = options.any_port;
  result->grant = portmap_exchange(via, gateway, *map, secret, gateway.deadline);
  if (options.same_port) {
    result->grant =
        portmap_follow_same_port(via, gateway, map, result->grant, secret, gateway.deadline);
    result->internal_port = map->internal_port;
  }
}

/// What an add granted, kept: the port asked (or, with --same-port, the internal one) and
/// a record of it, or the grant deleted at once and the failure said.
PortmapResult add_keep(MapVia via, const PortmapGateway& gateway, const RunOptions& options,
                       const std::string& folder, const StoreSecret& secret,
                       const PortmapRequest& map, PortmapResult result) {
  if ((result.external_port != result.asked_port && !options.any_port) ||
      (options.same_port && result.external_port != result.internal_port)) {
    // The port asked is the port held: a mapping elsewhere goes at once.
    portmap_delete_granted(via, gateway, map, result.external_port, secret);
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
    portmap_delete_granted(via, gateway, map, result.external_port, secret);
    result.cause += " (the mapping was deleted again)";
    return failed(result, Status::kAddRefused, kMessagePortmapState, ExitStatus::kRefused);
  }
  return result;
}

PortmapResult add_apply(MapVia via, const RequestRecord& request, const PortmapGateway& gateway,
                        const RunOptions& options) {
  PortmapResult result;
  result.via = via;
  result.protocol = protocol_number(request.protocol);
  result.client = portmap_client(request, gateway);
  result.internal_port = request.internal_port;
  result.asked_port = result.external_port = request.external_port;
  result.lifetime_asked = portmap_lifetime_asked(options);
  if (via == MapVia::kNatpmp && result.client != gateway.source) {
    return failed(result, Status::kPortmapThirdParty,
                  "Add Entry Failure -> NAT-PMP Maps For This Host Alone: No -ip.",
                  ExitStatus::kBadCommand);
  }
  const std::string folder = store_folder();
  StoreSecret secret{};
  if (via == MapVia::kPcp && store_secret(folder, &secret, &result.cause) != Error::kOk) {
    return failed(result, Status::kAddRefused, kMessagePortmapSecret, ExitStatus::kRefused);
  }
  PortmapRequest map{result.protocol, result.client, result.internal_port, result.asked_port,
                     result.lifetime_asked};
  add_exchange(via, gateway, options, secret, &map, &result);
  if (result.grant.error != Error::kOk) {
    return refused(result, gateway.address, Status::kAddRefused, "Add Entry");
  }
  result.external_port = result.grant.external_port;
  if (via == MapVia::kPcp) take_address(result.grant, &result);
  result = add_keep(via, gateway, options, folder, secret, map, result);
  if (result.outcome.status == Status::kSuccess && via == MapVia::kNatpmp) {
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

/// What the UPnP table at the gateway, where one answers, says of the mapping a NAT-PMP
/// delete named: a failure when it still holds it.
PortmapResult confirm_delete(const RunOptions& options, const PortmapGateway& gateway,
                             PortmapResult result) {
  MappingRequest mapping;
  mapping.client = result.client;
  mapping.external_port = result.external_port;
  mapping.internal_port = result.internal_port;
  mapping.protocol = protocol_name(result.protocol);
  result.confirmed = confirm_gone(options, gateway, mapping);
  if (result.confirmed != Confirmation::kStillThere) return result;
  result.cause = "NAT-PMP answered success, but the UPnP table of " + gateway.address +
                 " still holds the port";
  return failed(result, Status::kRemoveRefused,
                "Remove Entry Failure -> Still In The Gateway's UPnP Table.", ExitStatus::kRefused);
}

PortmapResult remove_apply(MapVia via, const RequestRecord& request, const PortmapGateway& gateway,
                           const RunOptions& options) {
  PortmapResult result;
  result.command = "remove";
  result.via = via;
  result.protocol = protocol_number(request.protocol);
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
  result.grant = portmap_exchange(
      via, gateway, {result.protocol, result.client, result.internal_port, result.asked_port, 0},
      secret, gateway.deadline);
  if (result.grant.error != Error::kOk) {
    return refused(result, gateway.address, Status::kRemoveRefused, "Remove Entry");
  }
  // A NAT-PMP delete answers success whether or not it removed anything.
  if (via == MapVia::kNatpmp) result = confirm_delete(options, gateway, result);
  // A mapping still there keeps its record, for a later -remove.
  if (result.outcome.status == Status::kSuccess) forget(folder, kept, &result);
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

}  // namespace

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
PortmapResult portmap_apply(int code, MapVia via, const RequestRecord& request,
                            const PortmapGateway& gateway, const RunOptions& options) {
  PortmapResult result;
  result.via = via;
  switch (code) {
    case kAdd:
    case kAddWithDescription:
    case kAddClient:
    case kAddClientWithDescription:
      return add_apply(via, request, gateway, options);
    case kRemove:
      return remove_apply(via, request, gateway, options);
    case kStats:
      result = stats_apply(via, gateway);
      result.client = gateway.source;
      return result;
    default:
      // Pinholes through PCP are flows/pinhole's; NAT-PMP maps IPv4 alone.
      result.command = "none";
      return failed(
          result, Status::kNeedsUpnp,
          std::string("This Command Needs UPnP: ") + map_via_title(via) + " Cannot Carry It.",
          ExitStatus::kBadCommand);
  }
}

Outcome portmap_outcome(const PortmapResult& result) {
  if (result.outcome.status == Status::kSuccess) return {Status::kSuccess, ""};
  return {Status::kFailure, "", result.outcome.exit};
}
