#include "flows/diagnose.h"

#include <cstdio>
#include <memory>
#include <sstream>

#include "base/clock.h"
#include "base/limits.h"
#include "base/number.h"
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
#include "render/console.h"
#include "render/json.h"

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
  gateway->protocol = pcp ? "pcp" : "natpmp";
  gateway->address = probes.address;
  gateway->interface_name = probes.interface_name;
  gateway->default_gateway = true;
  gateway->version = pcp ? 2 : 0;
  gateway->epoch = grant.epoch;
  gateway->answer_ms = ask.exchange.answer_ms;
  gateway->refusal = grant.error == Error::kPortmapRefused ? grant.result : 0;
  gateway->services.push_back(pcp ? "PCP 2" : "NAT-PMP 0");
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
  if (!forwarding->this_host || forwarding->protocol != "TCP") return;
  Socket socket;
  forwarding->listening = tcp_connect(&socket, local, forwarding->entry.internal_port,
                                      kDiagnoseConnectSeconds * 1000) == Error::kOk
                              ? 1
                              : 0;
}

std::string joined(const std::vector<std::string>& parts, const char* between) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : between) + part;
  return text;
}

/// A NAT-PMP/PCP server's refusal: "PCP at 192.168.1.1 refuses (NOT_AUTHORIZED)".
std::string refusal_text(const DiagnosedGateway& gateway) {
  const bool pcp = gateway.version == 2;
  return std::string(pcp ? "PCP" : "NAT-PMP") + " at " + gateway.address + " refuses (" +
         (pcp ? pcp_result_name(gateway.refusal) : natpmp_result_name(gateway.refusal)) + ")";
}

/// The --protocol that takes `server`, one that answered without refusing: auto takes
/// PCP wherever a PCP server answered at all, so past a refusing one NAT-PMP is named.
std::string protocol_to(const DiagnosedGateway& server, const Diagnosis& diagnosis) {
  if (server.version == 2) return "auto";
  for (const DiagnosedGateway& gateway : diagnosis.gateways) {
    if (gateway.version == 2 && gateway.address == server.address) return "natpmp";
  }
  return "auto";
}

/// The next step where no UPnP router can be used: a NAT-PMP/PCP server that answered
/// without refusing, never one that refused; or that none will map.
std::string without_upnp(const DiagnosedGateway* portmap, const std::vector<std::string>& refusing,
                         const Diagnosis& diagnosis) {
  const std::string refused = joined(refusing, "; ");
  if (portmap != nullptr) {
    const std::string protocol = protocol_to(*portmap, diagnosis);
    return "Use --protocol " + protocol + ": " + portmap->address + " answers " +
           (portmap->version == 2 ? "PCP" : "NAT-PMP") +
           (protocol == "natpmp" ? "; " + refused + "." : ".");
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

}  // namespace

Diagnosis diagnose_read(const RequestRecord& request, const DiscoveryOptions& options) {
  Diagnosis diagnosis;
  std::vector<NetInterface> interfaces;
  (void)discovery_interfaces(options, &interfaces);
  // The default gateways are asked beside the search, each once, in its wait.
  std::vector<std::unique_ptr<GatewayProbes>> probes;
  std::vector<PortmapAsk*> asks;
  for (const NetInterface& interface : interfaces) {
    std::string gateway;
    if (route_default_gateway(interface.name, &gateway) != Error::kOk) gateway.clear();
    diagnosis.interfaces.push_back({interface.name, interface.address, gateway, false});
    bool asked = gateway.empty();
    for (const std::unique_ptr<GatewayProbes>& known : probes) {
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
    if (probe->pcp_asked) asks.push_back(&probe->pcp);
    if (probe->natpmp_asked) asks.push_back(&probe->natpmp);
    probes.push_back(std::move(probe));
  }
  std::vector<FoundDevice> found;
  const SearchCompanion companion = probe_companion(asks);
  (void)discover_all(options, &found, &interfaces, &companion);
  for (const FoundDevice& device : found) {
    DiagnosedGateway gateway;
    describe(device, &gateway);
    gateway.interface_name =
        interface_toward(device.location, options.deadline, diagnosis.interfaces);
    for (DiagnosedInterface& interface : diagnosis.interfaces) {
      if (interface.name != gateway.interface_name) continue;
      interface.answered = true;
      gateway.default_gateway = interface.default_gateway == gateway.address;
    }
    if (gateway.usable) {
      gateway.external_read =
          gateway_external_address(gateway.handle, &gateway.external_address) == Error::kOk;
    }
    diagnosis.gateways.push_back(std::move(gateway));
  }
  DiagnosedGateway* chosen = command_choice(&diagnosis.gateways);
  if (chosen != nullptr) chosen->chosen = true;
  // A silent gateway's probes end by their schedules, which the reads above overlapped.
  probe_finish(asks);
  for (const std::unique_ptr<GatewayProbes>& probe : probes) {
    for (const bool pcp : {true, false}) {
      DiagnosedGateway gateway;
      if (portmap_found(*probe, pcp, &gateway)) diagnosis.gateways.push_back(std::move(gateway));
    }
  }
  // The pointer into the list may have moved with it.
  chosen = nullptr;
  for (DiagnosedGateway& gateway : diagnosis.gateways) {
    if (gateway.chosen) chosen = &gateway;
  }
  diagnosis.evidence = diagnose_evidence(diagnosis.gateways);
  diagnosis.double_nat = !diagnosis.evidence.empty();
  diagnosis.forwarding_asked = request.external_port != 0;
  if (diagnosis.forwarding_asked) {
    diagnosis.forwarding.protocol = text_upper_ascii(request.protocol);
    diagnosis.forwarding.external_port = request.external_port;
    if (chosen != nullptr) look_up_forwarding(*chosen, &diagnosis.forwarding);
  }
  diagnosis.advice = diagnose_advice(diagnosis);
  return diagnosis;
}

std::vector<std::string> diagnose_evidence(const std::vector<DiagnosedGateway>& gateways) {
  std::vector<std::string> evidence;
  std::string first_external;  // the first public external address told, and by whom
  std::string first_by;
  for (const DiagnosedGateway& gateway : gateways) {
    const std::string who = gateway.protocol == "upnp"  ? "router " + gateway.address
                            : gateway.protocol == "pcp" ? "PCP at " + gateway.address
                                                        : "NAT-PMP at " + gateway.address;
    if (gateway.protocol == "natpmp" && gateway.refusal == 3) {
      evidence.push_back(who + ": result 3, network failure (no external address)");
    }
    if (gateway.protocol == "pcp" && gateway.refusal == kPcpAddressMismatch) {
      evidence.push_back(who + ": ADDRESS_MISMATCH (another NAT between this host and it)");
    }
    if ((gateway.protocol == "upnp" && !gateway.usable) || !gateway.external_read) continue;
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

std::vector<Advice> diagnose_advice(const Diagnosis& diagnosis) {
  std::vector<Advice> advice;
  const DiagnosedGateway* chosen = chosen_of(diagnosis);
  for (const DiagnosedInterface& interface : diagnosis.interfaces) {
    if (interface.answered) continue;
    advice.push_back(
        {"No UPnP device answered on " + interface.name + " (" + interface.address + ").",
         interface.default_gateway.empty()
             ? "Nothing to do unless your router is on that link."
             : "Turn UPnP IGD on in the settings of " + interface.default_gateway +
                   ", or let UDP replies from port 1900 through this host's "
                   "firewall."});
  }
  // A server that refused is never advised: the commands would meet the same refusal.
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
  if (chosen == nullptr) {
    advice.push_back({!upnp_heard ? "No UPnP router answered the search."
                                  : "No device that answered offers a WAN connection service.",
                      without_upnp(portmap, refusing, diagnosis)});
  } else {
    const DiagnosedGateway* at_default = nullptr;
    std::string default_address;
    for (const DiagnosedInterface& interface : diagnosis.interfaces) {
      if (interface.name == chosen->interface_name) default_address = interface.default_gateway;
    }
    for (const DiagnosedGateway& gateway : diagnosis.gateways) {
      if (gateway.default_gateway && gateway.usable && at_default == nullptr) at_default = &gateway;
    }
    if (chosen->default_gateway || default_address.empty()) {
      advice.push_back({"Commands use the router at " + chosen->address +
                            (chosen->default_gateway ? ", your default gateway." : "."),
                        "Nothing to change."});
    } else {
      advice.push_back(
          {"The device at " + chosen->address + " answered first; your default gateway is " +
               default_address + ".",
           at_default != nullptr ? "Use --url " + at_default->location +
                                       " to reach it, or turn UPnP off on " + chosen->address + "."
           : portmap != nullptr && portmap->address == default_address
               ? "Use --protocol " + std::string(portmap->version == 2 ? "pcp" : "natpmp") +
                     " to reach it, or turn UPnP off on " + chosen->address + "."
               : "Turn UPnP IGD on in the settings of " + default_address + ", or turn it off on " +
                     chosen->address + "."});
    }
  }
  if (diagnosis.double_nat) {
    advice.push_back({"Double NAT: " + joined(diagnosis.evidence, "; ") + ".",
                      "Forward the port on the outer router too, or ask your provider for a "
                      "public address."});
  } else if (chosen != nullptr && chosen->external_read &&
             reach_of(chosen->external_address) == Reach::kPublic) {
    advice.push_back(
        {"No second NAT seen: the external address " + chosen->external_address + " is public.",
         "Nothing to change."});
  }
  if (!diagnosis.forwarding_asked) return advice;
  const DiagnosedForwarding& forwarding = diagnosis.forwarding;
  const std::string name = forwarding.protocol + " " + std::to_string(forwarding.external_port);
  if (!forwarding.looked_up) {
    advice.push_back({"Whether " + name +
                          " is forwarded cannot be told: no router's table could "
                          "be read.",
                      "Make a router answer first (see above)."});
    return advice;
  }
  if (!forwarding.in_table) {
    advice.push_back({name + " is not in the table of the router at " + chosen->address + ".",
                      "Add it: portwrangler -add " + forwarding.protocol + " IPORT " +
                          std::to_string(forwarding.external_port) + "."});
    return advice;
  }
  const MappingEntry& entry = forwarding.entry;
  const std::string lease = entry.lease_seconds == 0
                                ? "permanent"
                                : std::to_string(entry.lease_seconds) + " s of its lease left";
  advice.push_back({name + " goes to " + entry.client + ":" + std::to_string(entry.internal_port) +
                        " (" + (forwarding.this_host ? "this host" : "another host") + "), " +
                        (entry.enabled ? "enabled" : "disabled") + ", " + lease + ".",
                    !entry.enabled ? "Enable it on the router, or remove it and add it again."
                    : forwarding.this_host
                        ? "Nothing to change in the table."
                        : "Remove it from " + entry.client + ", or use another external port."});
  if (!forwarding.this_host) return advice;
  const std::string port = std::to_string(entry.internal_port);
  if (forwarding.protocol != "TCP") {
    advice.push_back({"Whether anything listens on UDP port " + port + " cannot be told from here.",
                      "Check that the service runs; a datagram from outside proves the path."});
  } else if (forwarding.listening == 1) {
    advice.push_back({"A service listens on TCP port " + port + " of this host.",
                      "Nothing to change here; test from outside the LAN."});
  } else {
    advice.push_back({"Nothing listens on TCP port " + port + " of this host.",
                      "Start the service, or forward to the port it listens on."});
  }
  return advice;
}

namespace {

constexpr char kTitle[] =
    "| --------------------  UPnP Router - Diagnosis  -------------------- |\n";
constexpr char kFindingsTitle[] =
    "| --------------------  Findings And Next Steps  -------------------- |\n";
constexpr size_t kWide = 66;

/// `text` in rows of at most `width` columns, broken between words (a longer word alone).
std::vector<std::string> wrapped(const std::string& text, size_t width) {
  std::vector<std::string> rows;
  std::istringstream words(text_printable(text));
  std::string word, row;
  while (words >> word) {
    if (!row.empty() && text_columns(row) + 1 + text_columns(word) > width) {
      rows.push_back(row);
      row.clear();
    }
    row += (row.empty() ? "" : " ") + word;
  }
  if (!row.empty()) rows.push_back(row);
  return rows;
}

/// `text` after `first`, its further rows after `rest`, which is as wide.
void print_wrapped(const std::string& text, const std::string& first, const std::string& rest) {
  bool start = true;
  for (const std::string& row : wrapped(text, kWide - first.size())) {
    console_printf("| %s%s |\n", (start ? first : rest).c_str(),
                   cell(row, kWide - first.size()).c_str());
    start = false;
  }
}

void print_row(const std::string& label, const std::string& value) {
  print_wrapped(value.empty() ? "N/A" : value, label, std::string(label.size(), ' '));
}

void print_gateway(const DiagnosedGateway& gateway) {
  const bool upnp = gateway.version < 0;
  print_row("Device:        ",
            std::string(upnp                   ? "UPnP"
                        : gateway.version == 2 ? "PCP"
                                               : "NAT-PMP") +
                " at " + gateway.address +
                (gateway.interface_name.empty() ? "" : " on " + gateway.interface_name));
  if (!upnp) {
    print_row("Version:       ",
              std::to_string(gateway.version) + ", epoch " + std::to_string(gateway.epoch) + " s" +
                  (gateway.refusal != 0 ? ", refused with result " + std::to_string(gateway.refusal)
                                        : ""));
    print_row("External IP:   ",
              gateway.external_read
                  ? (gateway.external_address.empty() ? "(none given)" : gateway.external_address)
                  : "N/A");
    print_row("Answered in:   ", std::to_string(gateway.answer_ms) + " ms");
    print_row("Marks:         ", gateway.default_gateway ? "default gateway" : "-");
    print_rule_line();
    return;
  }
  print_row("Name:          ", gateway.friendly_name);
  print_row("Services:      ", joined(gateway.services, ", "));
  print_row("Kind:          ",
            (gateway.igd_version > 0 ? "IGD v" + std::to_string(gateway.igd_version)
                                     : std::string("not an IGD")) +
                ", IPv6 firewall: " + (gateway.firewall ? "Yes" : "No"));
  print_row("External IP:   ",
            gateway.external_read
                ? (gateway.external_address.empty() ? "(none given)" : gateway.external_address)
                : "N/A");
  print_row("Answered in:   ", std::to_string(gateway.answer_ms) + " ms");
  std::vector<std::string> marks;
  if (gateway.default_gateway) marks.push_back("default gateway");
  if (gateway.chosen) marks.push_back("used by commands");
  if (!gateway.usable) marks.push_back("no WAN connection service");
  print_row("Marks:         ", marks.empty() ? "-" : joined(marks, ", "));
  print_rule_line();
}

void print_diagnosis(const Diagnosis& diagnosis) {
  print_boxed_title(kTitle);
  for (const DiagnosedInterface& interface : diagnosis.interfaces) {
    print_row("Interface:     ",
              interface.name + " (" + interface.address + "), default gateway " +
                  (interface.default_gateway.empty() ? "none" : interface.default_gateway));
  }
  if (!diagnosis.interfaces.empty()) print_rule_line();
  for (const DiagnosedGateway& gateway : diagnosis.gateways) print_gateway(gateway);
  print_boxed_title(kFindingsTitle);
  for (const Advice& advice : diagnosis.advice) {
    print_wrapped(advice.finding, "", "");
    print_wrapped(advice.next_step, "-> ", "   ");
    print_rule_line();
  }
}

}  // namespace

Outcome diagnose_flow(const RequestRecord& request, const DiscoveryOptions& options, bool json) {
  DiscoveryOptions bounded = options;
  bounded.deadline = deadline_in(kDiagnoseSeconds * 1000LL);
  const Diagnosis diagnosis = diagnose_read(request, bounded);
  const Outcome outcome{Status::kSuccess, "", ExitStatus::kDone};
  if (json) {
    json_write_diagnosis(diagnosis, outcome);
  } else {
    print_diagnosis(diagnosis);
  }
  return outcome;
}
