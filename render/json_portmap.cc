#include "render/json_portmap.h"

#include <exception>
#include <nlohmann/json.hpp>

#include "base/protocol.h"
#include "gateway/reach.h"
#include "render/console.h"
#include "render/json.h"
#include "render/screens_portmap.h"

namespace {

using nlohmann::json;

/// The error of a failure that no command of these protocols carries.
std::string needs_upnp_document(const PortmapResult& result) {
  return json({{"protocol_used", map_via_name(result.via)},
               {"error",
                {{"status", static_cast<int>(result.outcome.status)},
                 {"name", json_status_name(result.outcome.status)},
                 {"message", result.message}}}})
             .dump() +
         "\n";
}

json portmap_router_json(const PortmapResult& result, const PortmapGateway& gateway) {
  json router = {{"gateway", gateway.address}, {"local_address", gateway.source}};
  router["external_address"] =
      result.external_address.empty() ? json(nullptr) : json(result.external_address);
  // As a UPnP router's: null where nothing was told.
  router["reachable_from_internet"] =
      result.reach == Reach::kUnknown ? json(nullptr) : json(!reach_blocked(result.reach));
  router["unreachable_reason"] =
      reach_blocked(result.reach) ? json(reach_reason(result.reach)) : json(nullptr);
  return router;
}

/// An add's or a remove's entry and what was asked, into `doc`.
void add_entry(const PortmapResult& result, bool done, json* doc) {
  const bool add = std::string(result.command) == "add";
  (*doc)[add ? "added" : "removed"] = done;
  json entry = {{"protocol", protocol_name(result.protocol)},
                {"external_port", result.external_port},
                {"internal_client", result.client},
                {"internal_port", result.internal_port},
                {"description", nullptr}};
  entry["lease_seconds"] = done && add ? json(result.grant.lifetime) : json(nullptr);
  (*doc)["entry"] = result.client.empty() ? json(nullptr) : entry;
  (*doc)["external_port_asked"] = result.asked_port;
  if (add) (*doc)["lease_asked"] = result.lifetime_asked;
  if (std::string(result.command) == "remove") {
    (*doc)["confirmed"] = done && (result.confirmed == Confirmation::kByAnswer ||
                                   result.confirmed == Confirmation::kGone);
  }
}

}  // namespace

std::string json_portmap_document(const PortmapResult& result, const PortmapGateway& gateway) {
  if (std::string(result.command) == "none") return needs_upnp_document(result);
  json doc = {{"command", result.command},
              {"protocol_used", map_via_name(result.via)},
              {"router", portmap_router_json(result, gateway)}};
  const bool done = result.outcome.status == Status::kSuccess;
  if (std::string(result.command) == "stats") {
    doc["epoch_seconds"] =
        result.grant.error == Error::kOk ? json(result.grant.epoch) : json(nullptr);
  } else {
    add_entry(result, done, &doc);
  }
  if (!done) {
    doc["error"] = {{"status", static_cast<int>(result.outcome.status)},
                    {"name", json_status_name(result.outcome.status)},
                    {"message", result.message},
                    {"cause", result.cause}};
  }
  return doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

void json_portmap_write(const PortmapResult& result, const PortmapGateway& gateway) {
  portmap_say_notes(result);
  std::string text;
  try {
    text = json_portmap_document(result, gateway);
  } catch (const std::exception&) {
    text = "{\"error\":{\"name\":\"no_memory\",\"message\":\"out of memory\"}}\n";
  }
  console_write(text);
}
