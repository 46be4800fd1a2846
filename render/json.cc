#include "render/json.h"

#include <nlohmann/json.hpp>

#include "base/error.h"
#include "base/text.h"
#include "cli/grammar.h"
#include "cli/options.h"
#include "gateway/device_info.h"
#include "gateway/discovery.h"
#include "gateway/reach.h"
#include "render/console.h"
#include "render/json_text.h"

namespace {

using nlohmann::json;

/// Every text of `value` mended as the screens show it: a line break, tab, DEL or any
/// other control character from a router or the command line is a blank, so that no
/// text can forge a line of what a script prints from the document.
void mend_texts(json* value) {
  if (value->is_string()) {
    *value = text_printable(value->get_ref<const std::string&>());
  } else if (value->is_structured()) {
    for (json& inner : *value) mend_texts(&inner);
  }
}

/// Writes `build`'s document; a failure to build it (memory) leaves a short one that
/// still tells the run's end.
template <typename Build>
void write_document(Build build, const Outcome& outcome) {
  std::string text;
  try {
    text = build();
  } catch (const std::exception&) {
    text = "{\"error\":{\"status\":" + std::to_string(static_cast<int>(outcome.status)) +
           ",\"name\":\"no_memory\",\"message\":\"out of memory\"}}\n";
  }
  console_write(text);
}

json truth_json(Truth truth) {
  return truth == Truth::kUnknown ? json(nullptr) : json(truth == Truth::kTrue);
}

/// A port from a router: null when its text named none.
json port_json(uint16_t port) {
  return port != 0 ? json(port) : json(nullptr);
}

json entry_json(const MappingEntry& entry) {
  return {{"protocol", entry.protocol},
          {"external_port", port_json(entry.external_port)},
          {"internal_client", entry.client},
          {"internal_port", port_json(entry.internal_port)},
          {"description", entry.description},
          {"enabled", entry.enabled == -1 ? json(nullptr) : json(entry.enabled != 0)},
          {"remote_host", entry.remote_host},
          {"lease_seconds", entry.lease_known ? json(entry.lease_seconds) : json(nullptr)}};
}

json router_json(const RequestRecord& request, const GatewayHandle& gateway) {
  DeviceInfo info;
  (void)gateway_device_info(gateway, &info);  // texts it cannot read stay empty
  const Reach reach = reach_of(request.external_address);
  json router = {{"friendly_name", info.friendly_name},
                 {"manufacturer", info.manufacturer},
                 {"manufacturer_url", info.manufacturer_url},
                 {"model_name", info.model_name},
                 {"model_description", info.model_description},
                 {"model_number", info.model_number},
                 {"model_url", info.model_url},
                 {"presentation_url", info.presentation_url},
                 {"serial_number", info.serial_number},
                 {"upc", info.upc},
                 {"service_type", gateway.service_type},
                 {"control_url", gateway.control_url},
                 {"local_address", request.local_address},
                 {"external_address", request.external_address}};
  router["reachable_from_internet"] =
      reach == Reach::kUnknown ? json(nullptr) : json(!reach_blocked(reach));
  router["unreachable_reason"] = reach_blocked(reach) ? json(reach_reason(reach)) : json(nullptr);
  router["chosen_because"] = gateway_choice_name(gateway_choice(gateway));
  return router;
}

json error_json(const Outcome& outcome) {
  return {{"status", static_cast<int>(outcome.status)},
          {"name", json_status_name(outcome.status)},
          {"message", outcome.message}};
}

const char* command_name(int code) {
  switch (code) {
    case kAdd:
    case kAddWithDescription:
    case kAddClient:
    case kAddClientWithDescription:
      return "add";
    case kRemove:
      return "remove";
    case kList:
      return "list";
    case kListStats:
      return "list_stats";
    case kStats:
      return "stats";
    case kListById:
      return "list_id";
    default:
      return "search";
  }
}

}  // namespace

std::string json_text(json document, bool mend) {
  if (mend) mend_texts(&document);
  return document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

const char* json_status_name(Status status) {
  switch (status) {
    case Status::kSyntaxError:
      return "syntax_error";
    case Status::kHelp:
      return "help";
    case Status::kNoRouter:
      return "no_router";
    case Status::kNoExternalAddress:
      return "no_external_address";
    case Status::kDuplicate:
      return "duplicate_entry";
    case Status::kAddRefused:
      return "add_refused";
    case Status::kRemoveRefusedQuick:
    case Status::kRemoveRefused:
      return "remove_refused";
    case Status::kEnumerateFailed:
      return "enumerate_failed";
    case Status::kNoLocalAddress:
      return "no_local_address";
    case Status::kFailure:
      return "failure";
    case Status::kNoFirewall:
      return "no_firewall";
    case Status::kPinholeNotAuthorized:
      return "pinhole_not_authorized";
    case Status::kPinholeNoRoom:
      return "pinhole_no_room";
    case Status::kFirewallOff:
      return "firewall_off";
    case Status::kPinholeNotAllowed:
      return "pinhole_not_allowed";
    case Status::kNoSuchPinhole:
      return "no_such_pinhole";
    case Status::kPortmapNoGateway:
      return "no_portmap_gateway";
    case Status::kNeedsUpnp:
      return "needs_upnp";
    case Status::kPortmapThirdParty:
      return "no_third_party";
    case Status::kPinholeFailed:
      return "pinhole_failed";
    case Status::kAddUnknown:
      return "add_unknown";
    case Status::kRemoveUnknown:
      return "remove_unknown";
    case Status::kPinholeUnknown:
      return "pinhole_unknown";
    case Status::kNoLocalIpv4:
      return "no_local_ipv4";
    case Status::kNoAnyPort:
      return "no_any_port";
    case Status::kNoGlobalIpv6:
      return "no_global_ipv6";
    default:
      return "success";
  }
}

std::string json_listing_document(int code, const RequestRecord& request,
                                  const GatewayHandle& gateway, const ListingResult& result,
                                  const Outcome& outcome) {
  json document = {{"command", command_name(code)},
                   {"protocol_used", map_via_name(MapVia::kUpnp)},
                   {"router", router_json(request, gateway)}};
  if (code != kStats) {
    json entries = json::array();
    for (const ListedEntry& listed : result.shown) {
      json entry = entry_json(listed.entry);
      entry["id"] = listed.id;
      entries.push_back(std::move(entry));
    }
    document["entries"] = std::move(entries);
  }
  if (listing_filter_set(request)) {
    // The criteria as given; the ID as typed.
    json search = json::object();
    if (request.entry_id != -1) search["id"] = request.entry_id;
    if (listing_given(request.protocol)) search["protocol"] = request.protocol;
    if (listing_given(request.ip_address)) search["internal_client"] = request.ip_address;
    if (request.internal_port != 0) search["internal_port"] = request.internal_port;
    if (request.external_port != 0) search["external_port"] = request.external_port;
    if (request.enabled != -1) search["enabled"] = request.enabled == 1;
    document["search"] = std::move(search);
    document["matches"] = result.match_count;
  }
  if (code == kStats || code == kListStats) {
    const ListingStatistics& stats = result.stats;
    document["statistics"] = {{"entries", result.count},
                              {"enabled", stats.enabled},
                              {"disabled", result.count - stats.enabled},
                              {"tcp", stats.tcp},
                              {"tcp_enabled", stats.tcp_enabled},
                              {"tcp_disabled", stats.tcp - stats.tcp_enabled},
                              {"udp", stats.udp},
                              {"udp_enabled", stats.udp_enabled},
                              {"udp_disabled", stats.udp - stats.udp_enabled}};
  }
  const bool complete = result.end != WalkStep::kBroken;
  document["complete"] = complete;
  if (!complete) document["error"] = error_json(outcome);
  return json_text(document);
}

namespace {

/// The router's own words for a refusal beside the error's cause: its code and
/// description, and the cause told as the screens tell it on standard error. Mended with
/// every other text of the document (json_text).
void add_router_error(json* error, Error refusal, const RouterFault& fault,
                      const std::string& description, bool add) {
  const std::string note = change_refusal_note(refusal, fault, description, add);
  if (note.empty()) return;
  (*error)["router_error"] = {{"code", fault.code}, {"description", fault.description}};
  (*error)["cause"] = (*error)["cause"].get<std::string>() + ": " + note;
}

}  // namespace

std::string json_add_document(const RequestRecord& request, const GatewayHandle& gateway,
                              const AddResult& result, const Outcome& outcome) {
  const MappingRequest& mapping = result.mapping;
  MappingEntry entry;
  entry.protocol = mapping.protocol;
  entry.external_port = mapping.external_port;
  entry.client = mapping.client;
  entry.internal_port = mapping.internal_port;
  entry.description = mapping.description;
  entry.enabled = 1;
  entry.lease_seconds = mapping.lease_seconds;
  // What the router holds, where it was read back; permanent only when it holds no lease.
  json permanent = nullptr, held = nullptr;
  if (result.lease_read) {
    entry.lease_seconds = result.granted.lease_seconds;
    entry.lease_known = result.granted.lease_known;
    if (entry.lease_known) {
      held = entry.lease_seconds;
      permanent = entry.lease_seconds == 0;
    }
  } else if (result.permanent) {
    permanent = true;  // the router said it takes no lease
  }
  json document = {{"command", "add"},
                   {"protocol_used", map_via_name(MapVia::kUpnp)},
                   {"router", router_json(request, gateway)},
                   {"added", result.unknown ? json(nullptr) : json(result.added())},
                   {"entry", entry_json(entry)},
                   {"lease_asked", request.lease_seconds},
                   {"permanent", result.added() ? permanent : json(nullptr)},
                   {"lease_read_back", held}};
  if (request.any_port) document["external_port_asked"] = request.external_port;
  if (result.clash) {
    json clash = entry_json(result.clash_entry);
    clash["id"] = result.clash_id;
    document["clash"] = std::move(clash);
    document["error"] = error_json({Status::kDuplicate, kMessageDuplicate, outcome.exit});
  } else if (result.unknown) {
    json error = error_json({Status::kAddUnknown, kMessageAddUnknown, outcome.exit});
    error["cause"] = std::string(error_text(result.error)) +
                     " after the request went out, and the table could not be read back";
    document["error"] = std::move(error);
  } else if (result.error == Error::kGatewayNoAnyPort) {
    json error = error_json({Status::kNoAnyPort, kMessageNoAnyPort, outcome.exit});
    error["cause"] = error_text(result.error);
    document["error"] = std::move(error);
  } else if (!result.added()) {
    json error = error_json({Status::kAddRefused, kMessageAddRefused, outcome.exit});
    if (result.unchecked) {
      error["cause"] = "the table could not be read whole";
    } else if (result.verified) {
      error["cause"] = std::string(error_text(result.error)) +
                       " after the request went out; read back, the entry is not there";
    } else {
      error["cause"] = error_text(result.error);
    }
    add_router_error(&error, result.error, result.fault, mapping.description, true);
    document["error"] = std::move(error);
  }
  return json_text(document);
}

std::string json_remove_document(const RequestRecord& request, const GatewayHandle& gateway,
                                 const RemoveResult& result, const Outcome& outcome) {
  json document = {{"command", "remove"},
                   {"protocol_used", map_via_name(MapVia::kUpnp)},
                   {"router", router_json(request, gateway)},
                   {"removed", result.unknown ? json(nullptr) : json(result.removed())},
                   {"protocol", request.protocol},
                   {"external_port", request.external_port}};
  if (result.found) {
    json entry = entry_json(result.entry);
    entry["id"] = result.id;
    document["entry"] = std::move(entry);
  } else {
    document["entry"] = nullptr;
  }
  if (!result.removed()) {
    json error = error_json(outcome);
    error["cause"] = error_text(result.error);
    if (result.unknown) {
      error["cause"] = std::string(error_text(result.error)) +
                       " after the request went out, and the table could not be read back";
    } else if (result.verified) {
      error["cause"] = std::string(error_text(result.error)) +
                       " after the request went out; read back, the entry is still there";
    }
    add_router_error(&error, result.error, result.fault, "", false);
    document["error"] = std::move(error);
  }
  return json_text(document);
}

void json_write_add(const RequestRecord& request, const GatewayHandle& gateway,
                    const AddResult& result, const Outcome& outcome) {
  write_document([&] { return json_add_document(request, gateway, result, outcome); }, outcome);
}

void json_write_remove(const RequestRecord& request, const GatewayHandle& gateway,
                       const RemoveResult& result, const Outcome& outcome) {
  write_document([&] { return json_remove_document(request, gateway, result, outcome); }, outcome);
}

void json_write_listing(int code, const RequestRecord& request, const GatewayHandle& gateway,
                        const ListingResult& result, const Outcome& outcome) {
  write_document([&] { return json_listing_document(code, request, gateway, result, outcome); },
                 outcome);
}

void json_write_failure(const Outcome& outcome, const std::string& detail) {
  write_document(
      [&] {
        json document;
        if (outcome.status == Status::kHelp) {
          return json_text({{"command", "help"}, {"usage", options_usage()}}, false);
        } else {
          json error = error_json(outcome);
          if (!detail.empty()) error["cause"] = detail;
          document = {{"error", std::move(error)}};
        }
        return json_text(document);
      },
      outcome);
}

std::string json_event_line(const std::string& time, const std::string& event,
                            const std::string& text, const MappingRequest& held,
                            int64_t lease_seconds, const std::string& error,
                            const std::string& external_address, bool permanent) {
  try {
    json line = {{"time", time},
                 {"event", event},
                 {"text", text},
                 {"protocol_used", map_via_name(MapVia::kUpnp)},
                 {"protocol", held.protocol},
                 {"external_port", held.external_port},
                 {"internal_client", held.client},
                 {"internal_port", held.internal_port}};
    line["lease_seconds"] = lease_seconds >= 0 ? json(lease_seconds) : json(nullptr);
    if (!error.empty()) line["error"] = error;
    if (!external_address.empty()) line["external_address"] = external_address;
    if (permanent) line["permanent"] = true;
    return json_text(line);
  } catch (const std::exception&) {
    return "{\"time\":\"" + time + "\",\"event\":\"" + event + "\"}\n";
  }
}

namespace {

json pinhole_json(uint16_t id, const PinholeRequest& request) {
  return {{"id", id},
          {"protocol", request.protocol == 17 ? "UDP" : "TCP"},
          {"port", request.port},
          {"internal_client", request.client},
          {"lease_seconds", request.lease_seconds}};
}

const char* pinhole_command_name(int code) {
  switch (code) {
    case kPinholeStatus:
      return "pinhole_status";
    case kPinholeAdd:
      return "pinhole_add";
    case kPinholeRemove:
      return "pinhole_remove";
    default:
      return "pinhole_check";
  }
}

}  // namespace

std::string json_pinhole_document(const PinholeResult& result, const Outcome& outcome) {
  json document = {{"command", pinhole_command_name(result.code)},
                   {"protocol_used", map_via_name(MapVia::kUpnp)}};
  const bool done = result.error == Error::kOk;
  switch (result.code) {
    case kPinholeStatus:
      if (done) {
        document["firewall"] = {
            {"enabled", truth_json(result.status.enabled)},
            {"inbound_pinholes_allowed", truth_json(result.status.inbound_allowed)}};
      }
      break;
    case kPinholeAdd:
      // Unknown when the router may have opened it without naming its ID.
      document["added"] = pinhole_maybe_added(result) ? json(nullptr) : json(done);
      document["pinhole"] = pinhole_json(result.id, result.request);
      if (!done) document["pinhole"]["id"] = nullptr;
      break;
    case kPinholeRemove:
      document["removed"] = result.unknown ? json(nullptr) : json(done);
      document["pinhole"] = {{"id", result.id}};
      break;
    default:
      document["pinhole"] = {
          {"id", result.id},
          {"working", result.check.working_known ? json(result.check.working) : json(nullptr)},
          {"packets", result.check.packets_known ? json(result.check.packets) : json(nullptr)}};
      // Unknown because the router would not tell: its error beside the null.
      if (result.check.working_fault != 0) {
        document["pinhole"]["working_error"] = result.check.working_fault;
      }
      if (result.check.packets_fault != 0) {
        document["pinhole"]["packets_error"] = result.check.packets_fault;
      }
      break;
  }
  if (!done) {
    json error = error_json(outcome);
    error["cause"] = error_text(result.error);
    if (result.error == Error::kGatewayNoPinholeId) {
      error["cause"] = std::string(error_text(result.error)) + " (\"" + result.id_text +
                       "\"): the router may have opened it; -pinhole -check tells by its ID";
    } else if (pinhole_maybe_added(result)) {
      error["cause"] = std::string(error_text(result.error)) +
                       " after the request went out: the router may have opened it";
    } else if (result.unknown) {
      error["cause"] = std::string(error_text(result.error)) +
                       " after the request went out, and a check could not tell whether it is "
                       "gone";
    }
    if (result.fault != 0) error["upnp_error"] = result.fault;
    document["error"] = std::move(error);
  }
  return json_text(document);
}

std::string json_pcp_pinhole_document(const PcpPinholeResult& result) {
  const bool done = result.status == Status::kSuccess;
  const bool add = result.code == kPinholeAdd;
  PinholeRequest shown = result.request;
  if (add && done) shown.lease_seconds = result.lease_granted;
  json pinhole = pinhole_json(0, shown);
  pinhole["id"] = nullptr;  // PCP names a pinhole by its protocol and port
  if (!add) pinhole.erase("lease_seconds");
  json document = {{"command", pinhole_command_name(result.code)},
                   {"protocol_used", "pcp"},
                   {add ? "added" : "removed", done},
                   {"pinhole", std::move(pinhole)}};
  if (add) document["lease_asked"] = result.request.lease_seconds;
  if (!done) {
    json error = error_json({result.status, result.message.c_str(), result.exit});
    error["cause"] = result.cause;
    document["error"] = std::move(error);
  }
  return json_text(document);
}

std::string json_pinhole_event_line(const std::string& time, const std::string& event,
                                    const std::string& text, uint16_t id,
                                    const PinholeRequest& held, const std::string& error,
                                    MapVia via) {
  json line = {{"time", time},
               {"event", event},
               {"text", text},
               {"protocol_used", map_via_name(via)},
               {"pinhole", pinhole_json(id, held)}};
  if (via != MapVia::kUpnp) line["pinhole"]["id"] = nullptr;  // PCP names no pinhole
  if (!error.empty()) line["error"] = error;
  return json_text(line);
}

void json_write_diagnosis(const Diagnosis& diagnosis, const Outcome& outcome) {
  write_document(
      [&] {
        json gateways = json::array();
        for (const DiagnosedGateway& gateway : diagnosis.gateways) {
          gateways.push_back(
              {{"protocol", gateway.protocol},
               {"address", gateway.address},
               {"interface",
                gateway.interface_name.empty() ? json(nullptr) : json(gateway.interface_name)},
               {"default_gateway", gateway.default_gateway},
               {"chosen", gateway.chosen},
               {"friendly_name", gateway.friendly_name},
               {"services", gateway.services},
               {"igd_version", gateway.igd_version},
               {"ipv6_firewall", gateway.firewall},
               {"external_address",
                gateway.external_read ? json(gateway.external_address) : json(nullptr)},
               {"answer_ms", gateway.answer_ms},
               {"version", gateway.version < 0 ? json(nullptr) : json(gateway.version)},
               {"epoch_seconds", gateway.epoch < 0 ? json(nullptr) : json(gateway.epoch)},
               {"result", gateway.version < 0 ? json(nullptr) : json(gateway.refusal)}});
        }
        json silent = json::array();
        for (const DiagnosedInterface& interface : diagnosis.interfaces) {
          if (!interface.answered) silent.push_back(interface.name);
        }
        json forwarding = nullptr;
        if (diagnosis.forwarding_asked) {
          const DiagnosedForwarding& asked = diagnosis.forwarding;
          forwarding = {
              {"protocol", asked.protocol},
              {"external_port", asked.external_port},
              {"in_table", asked.looked_up ? json(asked.in_table) : json(nullptr)},
              {"entry", asked.in_table ? entry_json(asked.entry) : json(nullptr)},
              {"this_host", asked.in_table ? json(asked.this_host) : json(nullptr)},
              {"listening", asked.listening < 0 ? json(nullptr) : json(asked.listening == 1)}};
        }
        json advice = json::array();
        for (const Advice& item : diagnosis.advice) {
          advice.push_back({{"finding", item.finding}, {"next_step", item.next_step}});
        }
        const json document = {
            {"command", "diagnose"},
            {"gateways", gateways},
            {"silent_interfaces", silent},
            {"double_nat", {{"detected", diagnosis.double_nat}, {"evidence", diagnosis.evidence}}},
            {"forwarding", forwarding},
            {"advice", advice}};
        return json_text(document);
      },
      outcome);
}
