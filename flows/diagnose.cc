#include "flows/diagnose.h"

#include <cstdio>
#include <memory>

#include "base/clock.h"
#include "base/limits.h"
#include "base/number.h"
#include "base/protocol.h"
#include "base/text.h"
#include "flows/probe.h"
#include "gateway/description.h"
#include "gateway/external_address.h"
#include "gateway/local_address.h"
#include "gateway/reach.h"
#include "net/socket.h"
#include "portmap/natpmp.h"
#include "portmap/pcp.h"
#include "portmap/route.h"
#include "portmap/wire.h"

namespace {

constexpr char kServicePrefix[] = "urn:schemas-upnp-org:service:";
constexpr char kIgdPrefix[] = "urn:schemas-upnp-org:device:InternetGatewayDevice:";

/// The probes of one default gateway: a PCP ANNOUNCE and NAT-PMP's external-address
/// request, neither of which changes anything. They stay where they were started.
struct GatewayProbes {
  std::string interface_name;
  std::string address;
  bool pcp_asked = false;
  bool natpmp_asked = false;
  PortmapAsk pcp;
  PortmapAsk natpmp;
};

/// A PCP or NAT-PMP server as found, or false when it did not answer in its shape.
bool portmap_found(const GatewayProbes& probes, bool pcp, DiagnosedGateway* gateway) {
  if (!(pcp ? probes.pcp_asked : probes.natpmp_asked)) return false;
  const PortmapAsk& ask = pcp ? probes.pcp : probes.natpmp;
  const PortmapGrant grant = portmap_ask_grant(ask);
  if (grant.error != Error::kOk && grant.error != Error::kPortmapRefused) return false;
  gateway->version = pcp ? kPcpVersion : kNatpmpVersion;
  gateway->protocol = map_via_name(diagnosed_via(*gateway));
  gateway->address = probes.address;
  gateway->interface_name = probes.interface_name;
  gateway->default_gateway = true;
  gateway->epoch = grant.epoch;
  gateway->answer_ms = ask.exchange.answer_ms;
  gateway->refusal = grant.error == Error::kPortmapRefused ? grant.result : 0;
  gateway->services.push_back(std::string(portmap_protocol_title(gateway->version)) + " " +
                              std::to_string(gateway->version));
  // PCP's ANNOUNCE tells no external address; NAT-PMP's request is for it.
  gateway->external_read = !pcp && grant.error == Error::kOk;
  gateway->external_address = gateway->external_read ? grant.external_address : "";
  return true;
}

/// The sender's address without a zone.
std::string host_of(const std::string& sender) {
  return sender.substr(0, sender.find('%'));
}

void describe(const FoundDevice& device, DiagnosedGateway* gateway) {
  gateway->address = host_of(device.sender);
  gateway->location = device.location;
  gateway->answer_ms = device.answer_ms;
  gateway->usable = device.error == Error::kOk;
  gateway->handle = device.gateway;
  DescriptionSummary summary;
  if (gateway_description_summary(device.gateway.device_description, &summary) != Error::kOk) {
    return;
  }
  gateway->friendly_name = summary.friendly_name;
  for (const std::string& type : summary.device_types) {
    if (type.compare(0, sizeof(kIgdPrefix) - 1, kIgdPrefix) == 0 && gateway->igd_version == 0) {
      uint64_t version = 0;
      if (number_read(type.substr(sizeof(kIgdPrefix) - 1), 99, &version)) {
        gateway->igd_version = static_cast<int>(version);
      }
    }
  }
  for (const std::string& type : summary.service_types) {
    if (type.compare(0, sizeof(kServicePrefix) - 1, kServicePrefix) != 0) continue;
    const std::string short_type = type.substr(sizeof(kServicePrefix) - 1);
    if (short_type.compare(0, 3, "WAN") != 0) continue;
    gateway->services.push_back(short_type);
    if (short_type.compare(0, 22, "WANIPv6FirewallControl") == 0) gateway->firewall = true;
  }
}

/// The interface whose address this host uses toward `location`'s host.
std::string interface_toward(const std::string& location, Deadline deadline,
                             const std::vector<DiagnosedInterface>& interfaces) {
  GatewayHandle toward;
  toward.control_url = location;
  toward.deadline = deadline;
  std::string local;
  if (gateway_local_address(toward, &local) != Error::kOk) return "";
  for (const DiagnosedInterface& interface : interfaces) {
    if (interface.address == local) return interface.name;
  }
  return "";
}

void look_up_forwarding(const DiagnosedGateway& chosen, DiagnosedForwarding* forwarding) {
  const Error error = gateway_specific_entry(chosen.handle, forwarding->external_port,
                                             forwarding->protocol, &forwarding->entry);
  if (error != Error::kOk && error != Error::kGatewayMappingRefused) return;
  forwarding->looked_up = true;
  forwarding->in_table = error == Error::kOk;
  if (!forwarding->in_table) return;
  std::string local;
  if (gateway_local_address(chosen.handle, &local) != Error::kOk) return;
  forwarding->this_host = forwarding->entry.client == local;
  if (!forwarding->this_host || protocol_number(forwarding->protocol) != kIpProtocolTcp) return;
  Socket socket;
  forwarding->listening = tcp_connect(&socket, local, forwarding->entry.internal_port,
                                      kDiagnoseConnectSeconds * 1000) == Error::kOk
                              ? 1
                              : 0;
}

/// A NAT-PMP/PCP server's refusal: "PCP at 192.168.1.1 refuses (NOT_AUTHORIZED)".
std::string refusal_text(const DiagnosedGateway& gateway) {
  return std::string(portmap_protocol_title(gateway.version)) + " at " + gateway.address +
         " refuses (" + portmap_result_name(gateway.version, gateway.refusal) + ")";
}

/// The --protocol that takes `server`, one that answered without refusing: auto takes
/// PCP wherever a PCP server answered at all, so past a refusing one NAT-PMP is named.
MapVia protocol_to(const DiagnosedGateway& server, const Diagnosis& diagnosis) {
  if (server.version == kPcpVersion) return MapVia::kAuto;
  for (const DiagnosedGateway& gateway : diagnosis.gateways) {
    if (gateway.version == kPcpVersion && gateway.address == server.address) {
      return MapVia::kNatpmp;
    }
  }
  return MapVia::kAuto;
}

/// The next step where no UPnP router can be used: a NAT-PMP/PCP server that answered
/// without refusing, never one that refused; or that none will map.
std::string without_upnp(const DiagnosedGateway* portmap, const std::vector<std::string>& refusing,
                         const Diagnosis& diagnosis) {
  const std::string refused = text_joined(refusing, "; ");
  if (portmap != nullptr) {
    const MapVia protocol = protocol_to(*portmap, diagnosis);
    return "Use --protocol " + std::string(map_via_name(protocol)) + ": " + portmap->address +
           " answers " + diagnosed_protocol_title(*portmap) +
           (protocol == MapVia::kNatpmp ? "; " + refused + "." : ".");
  }
  const std::string upnp =
      "Turn UPnP IGD on in the router's settings, or name its description "
      "with --url.";
  if (refused.empty()) return upnp;
  return "Nothing here will map a port as it stands: " + refused + ". " + upnp;
}

const DiagnosedGateway* chosen_of(const Diagnosis& diagnosis) {
  for (const DiagnosedGateway& gateway : diagnosis.gateways) {
    if (gateway.chosen) return &gateway;
  }
  return nullptr;
}

/// The router a plain command takes: one at its link's default gateway, else any; the
/// first WAN IP connection of them, else the first WAN PPP one. Null when none is usable.
DiagnosedGateway* command_choice(std::vector<DiagnosedGateway>* gateways) {
  for (const bool at_default : {true, false}) {
    DiagnosedGateway* chosen = nullptr;
    for (DiagnosedGateway& gateway : *gateways) {
      if (!gateway.usable || (at_default && !gateway.default_gateway)) continue;
      if (gateway.handle.service_type.compare(0, 15, "WANIPConnection") == 0) return &gateway;
      if (chosen == nullptr) chosen = &gateway;
    }
    if (chosen != nullptr) return chosen;
  }
  return nullptr;
}

/// The probes of the default gateways, each asked once, while the search is under way.
using Probes = std::vector<std::unique_ptr<GatewayProbes>>;

/// The interfaces the search goes out on, each with its default gateway, into
/// `diagnosis`; a PCP and a NAT-PMP probe started at each default gateway, their asks in
/// `*asks` for the search's wait.
void start_probes(const DiscoveryOptions& options, const std::vector<NetInterface>& interfaces,
                  Diagnosis* diagnosis, Probes* probes, std::vector<PortmapAsk*>* asks) {
  for (const NetInterface& interface : interfaces) {
    std::string gateway;
    if (route_default_gateway(interface.name, &gateway) != Error::kOk) gateway.clear();
    diagnosis->interfaces.push_back({interface.name, interface.address, gateway, false});
    bool asked = gateway.empty();
    for (const std::unique_ptr<GatewayProbes>& known : *probes) {
      asked = asked || known->address == gateway;
    }
    PortmapGateway target;
    target.address = gateway;
    if (asked || route_source_address(gateway, &target.source) != Error::kOk) continue;
    std::unique_ptr<GatewayProbes> probe(new GatewayProbes);
    probe->interface_name = interface.name;
    probe->address = gateway;
    const PortmapSchedule pcp = portmap_schedule_by(pcp_one_shot_schedule(), options.deadline);
    const PortmapSchedule natpmp =
        portmap_schedule_by(natpmp_one_shot_schedule(), options.deadline);
    probe->pcp_asked = pcp_announce_start(target, pcp, &probe->pcp) == Error::kOk;
    probe->natpmp_asked =
        natpmp_external_address_start(target, natpmp, &probe->natpmp) == Error::kOk;
    if (probe->pcp_asked) asks->push_back(&probe->pcp);
    if (probe->natpmp_asked) asks->push_back(&probe->natpmp);
    probes->push_back(std::move(probe));
  }
}

/// Each UPnP device the search found, described, with the interface it answered on and
/// its external address, into `diagnosis`; the one a plain command takes marked chosen.
void add_upnp_gateways(const std::vector<FoundDevice>& found, const DiscoveryOptions& options,
                       Diagnosis* diagnosis) {
  for (const FoundDevice& device : found) {
    DiagnosedGateway gateway;
    describe(device, &gateway);
    gateway.interface_name =
        interface_toward(device.location, options.deadline, diagnosis->interfaces);
    for (DiagnosedInterface& interface : diagnosis->interfaces) {
      if (interface.name != gateway.interface_name) continue;
      interface.answered = true;
      gateway.default_gateway = interface.default_gateway == gateway.address;
    }
    if (gateway.usable) {
      gateway.external_read =
          gateway_external_address(gateway.handle, &gateway.external_address) == Error::kOk;
    }
    diagnosis->gateways.push_back(std::move(gateway));
  }
  DiagnosedGateway* chosen = command_choice(&diagnosis->gateways);
  if (chosen != nullptr) chosen->chosen = true;
}

/// The NAT-PMP/PCP servers that answered the probes, after the UPnP devices.
void add_portmap_gateways(const Probes& probes, Diagnosis* diagnosis) {
  for (const std::unique_ptr<GatewayProbes>& probe : probes) {
    for (const bool pcp : {true, false}) {
      DiagnosedGateway gateway;
      if (portmap_found(*probe, pcp, &gateway)) diagnosis->gateways.push_back(std::move(gateway));
    }
  }
}

/// The forwarding the request names, looked up in the chosen router's table.
void look_up_asked(const RequestRecord& request, Diagnosis* diagnosis) {
  diagnosis->forwarding_asked = request.external_port != 0;
  if (!diagnosis->forwarding_asked) return;
  diagnosis->forwarding.protocol = text_upper_ascii(request.protocol);
  diagnosis->forwarding.external_port = request.external_port;
  const DiagnosedGateway* chosen = chosen_of(*diagnosis);
  if (chosen != nullptr) look_up_forwarding(*chosen, &diagnosis->forwarding);
}

}  // namespace

MapVia diagnosed_via(const DiagnosedGateway& gateway) {
  if (gateway.version < 0) return MapVia::kUpnp;
  return gateway.version == kPcpVersion ? MapVia::kPcp : MapVia::kNatpmp;
}

const char* diagnosed_protocol_title(const DiagnosedGateway& gateway) {
  return gateway.version < 0 ? "UPnP" : portmap_protocol_title(gateway.version);
}

Diagnosis diagnose_read(const RequestRecord& request, const DiscoveryOptions& options) {
  Diagnosis diagnosis;
  std::vector<NetInterface> interfaces;
  (void)discovery_interfaces(options, &interfaces);
  // The default gateways are asked beside the search, each once, in its wait.
  Probes probes;
  std::vector<PortmapAsk*> asks;
  start_probes(options, interfaces, &diagnosis, &probes, &asks);
  std::vector<FoundDevice> found;
  const SearchCompanion companion = probe_companion(asks);
  (void)discover_all(options, &found, &interfaces, &companion);
  add_upnp_gateways(found, options, &diagnosis);
  // A silent gateway's probes end by their schedules, which the reads above overlapped.
  probe_finish(asks);
  add_portmap_gateways(probes, &diagnosis);
  diagnosis.evidence = diagnose_evidence(diagnosis.gateways);
  diagnosis.double_nat = !diagnosis.evidence.empty();
  look_up_asked(request, &diagnosis);
  diagnosis.advice = diagnose_advice(diagnosis);
  return diagnosis;
}

Diagnosis diagnose_run(const RequestRecord& request, const DiscoveryOptions& options) {
  DiscoveryOptions bounded = options;
  bounded.deadline = deadline_in(kDiagnoseSeconds * 1000LL);
  return diagnose_read(request, bounded);
}

Outcome diagnose_outcome() {
  return {Status::kSuccess, "", ExitStatus::kDone};
}

std::vector<std::string> diagnose_evidence(const std::vector<DiagnosedGateway>& gateways) {
  std::vector<std::string> evidence;
  std::string first_external;  // the first public external address told, and by whom
  std::string first_by;
  for (const DiagnosedGateway& gateway : gateways) {
    const MapVia via = diagnosed_via(gateway);
    const std::string who = via == MapVia::kUpnp ? "router " + gateway.address
                                                 : std::string(diagnosed_protocol_title(gateway)) +
                                                       " at " + gateway.address;
    if (via == MapVia::kNatpmp && gateway.refusal == 3) {
      evidence.push_back(who + ": result 3, network failure (no external address)");
    }
    if (via == MapVia::kPcp && gateway.refusal == kPcpAddressMismatch) {
      evidence.push_back(who + ": ADDRESS_MISMATCH (another NAT between this host and it)");
    }
    if ((via == MapVia::kUpnp && !gateway.usable) || !gateway.external_read) continue;
    const Reach reach = reach_of(gateway.external_address);
    if (reach_blocked(reach)) {
      evidence.push_back(
          who +
          (gateway.external_address.empty() ? "" : " (external " + gateway.external_address + ")") +
          ": " + reach_reason(reach));
    } else if (first_external.empty()) {
      first_external = gateway.external_address;
      first_by = who;
    } else if (gateway.external_address != first_external) {
      evidence.push_back(first_by + " reports " + first_external + ", " + who + " " +
                         gateway.external_address);
    }
  }
  return evidence;
}

namespace {

/// Each interface where nothing answered, and what may be in the way.
void advise_silent_interfaces(const Diagnosis& diagnosis, std::vector<Advice>* advice) {
  for (const DiagnosedInterface& interface : diagnosis.interfaces) {
    if (interface.answered) continue;
    advice->push_back(
        {"No UPnP device answered on " + interface.name + " (" + interface.address + ").",
         interface.default_gateway.empty()
             ? "Nothing to do unless your router is on that link."
             : "Turn UPnP IGD on in the settings of " + interface.default_gateway +
                   ", or let UDP replies from port 1900 through this host's "
                   "firewall."});
  }
}

/// The router commands take, where one answered the search: whether it is the default
/// gateway, and how to reach that one where it is not.
Advice chosen_router_advice(const Diagnosis& diagnosis, const DiagnosedGateway& chosen,
                            const DiagnosedGateway* portmap) {
  const DiagnosedGateway* at_default = nullptr;
  std::string default_address;
  for (const DiagnosedInterface& interface : diagnosis.interfaces) {
    if (interface.name == chosen.interface_name) default_address = interface.default_gateway;
  }
  for (const DiagnosedGateway& gateway : diagnosis.gateways) {
    if (gateway.default_gateway && gateway.usable && at_default == nullptr) at_default = &gateway;
  }
  if (chosen.default_gateway || default_address.empty()) {
    return {"Commands use the router at " + chosen.address +
                (chosen.default_gateway ? ", your default gateway." : "."),
            "Nothing to change."};
  }
  return {"The device at " + chosen.address + " answered first; your default gateway is " +
              default_address + ".",
          at_default != nullptr ? "Use --url " + at_default->location +
                                      " to reach it, or turn UPnP off on " + chosen.address + "."
          : portmap != nullptr && portmap->address == default_address
              ? "Use --protocol " + std::string(map_via_name(diagnosed_via(*portmap))) +
                    " to reach it, or turn UPnP off on " + chosen.address + "."
              : "Turn UPnP IGD on in the settings of " + default_address + ", or turn it off on " +
                    chosen.address + "."};
}

/// Which router or server takes the commands: the chosen UPnP router, else a NAT-PMP/PCP
/// server that did not refuse. A server that refused is never advised: the commands would
/// meet the same refusal.
void advise_router(const Diagnosis& diagnosis, std::vector<Advice>* advice) {
  const DiagnosedGateway* portmap = nullptr;
  std::vector<std::string> refusing;
  bool upnp_heard = false;
  for (const DiagnosedGateway& gateway : diagnosis.gateways) {
    upnp_heard = upnp_heard || gateway.version < 0;
    if (gateway.version < 0) continue;
    if (gateway.refusal != 0) {
      refusing.push_back(refusal_text(gateway));
    } else if (portmap == nullptr) {
      portmap = &gateway;
    }
  }
  const DiagnosedGateway* chosen = chosen_of(diagnosis);
  if (chosen != nullptr) {
    advice->push_back(chosen_router_advice(diagnosis, *chosen, portmap));
    return;
  }
  advice->push_back({!upnp_heard ? "No UPnP router answered the search."
                                 : "No device that answered offers a WAN connection service.",
                     without_upnp(portmap, refusing, diagnosis)});
}

/// A second NAT between the router and the internet, or none seen.
void advise_double_nat(const Diagnosis& diagnosis, std::vector<Advice>* advice) {
  const DiagnosedGateway* chosen = chosen_of(diagnosis);
  if (diagnosis.double_nat) {
    advice->push_back({"Double NAT: " + text_joined(diagnosis.evidence, "; ") + ".",
                       "Forward the port on the outer router too, or ask your provider for a "
                       "public address."});
  } else if (chosen != nullptr && chosen->external_read &&
             reach_of(chosen->external_address) == Reach::kPublic) {
    advice->push_back(
        {"No second NAT seen: the external address " + chosen->external_address + " is public.",
         "Nothing to change."});
  }
}

/// Whether the service behind a forwarding to this host listens.
void advise_listener(const DiagnosedForwarding& forwarding, std::vector<Advice>* advice) {
  const std::string port = std::to_string(forwarding.entry.internal_port);
  if (protocol_number(forwarding.protocol) != kIpProtocolTcp) {
    advice->push_back(
        {"Whether anything listens on UDP port " + port + " cannot be told from here.",
         "Check that the service runs; a datagram from outside proves the path."});
  } else if (forwarding.listening == 1) {
    advice->push_back({"A service listens on TCP port " + port + " of this host.",
                       "Nothing to change here; test from outside the LAN."});
  } else {
    advice->push_back({"Nothing listens on TCP port " + port + " of this host.",
                       "Start the service, or forward to the port it listens on."});
  }
}

/// The forwarding asked about: whether the table holds it, where it goes, and whether
/// anything listens there.
void advise_forwarding(const Diagnosis& diagnosis, std::vector<Advice>* advice) {
  const DiagnosedForwarding& forwarding = diagnosis.forwarding;
  const std::string name = forwarding.protocol + " " + std::to_string(forwarding.external_port);
  if (!forwarding.looked_up) {
    advice->push_back({"Whether " + name +
                           " is forwarded cannot be told: no router's table could "
                           "be read.",
                       "Make a router answer first (see above)."});
    return;
  }
  if (!forwarding.in_table) {
    advice->push_back(
        {name + " is not in the table of the router at " + chosen_of(diagnosis)->address + ".",
         "Add it: portwrangler -add " + forwarding.protocol + " IPORT " +
             std::to_string(forwarding.external_port) + "."});
    return;
  }
  const MappingEntry& entry = forwarding.entry;
  const std::string lease = entry.lease_seconds == 0
                                ? "permanent"
                                : std::to_string(entry.lease_seconds) + " s of its lease left";
  advice->push_back({name + " goes to " + entry.client + ":" + std::to_string(entry.internal_port) +
                         " (" + (forwarding.this_host ? "this host" : "another host") + "), " +
                         (entry.enabled ? "enabled" : "disabled") + ", " + lease + ".",
                     !entry.enabled ? "Enable it on the router, or remove it and add it again."
                     : forwarding.this_host
                         ? "Nothing to change in the table."
                         : "Remove it from " + entry.client + ", or use another external port."});
  if (forwarding.this_host) advise_listener(forwarding, advice);
}

}  // namespace

std::vector<Advice> diagnose_advice(const Diagnosis& diagnosis) {
  std::vector<Advice> advice;
  advise_silent_interfaces(diagnosis, &advice);
  advise_router(diagnosis, &advice);
  advise_double_nat(diagnosis, &advice);
  if (diagnosis.forwarding_asked) advise_forwarding(diagnosis, &advice);
  return advice;
}
