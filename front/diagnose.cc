#include "front/diagnose.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "base/budget.h"
#include "base/limits.h"
#include "base/text.h"
#include "front/console.h"
#include "front/json_out.h"
#include "gateway/description.h"
#include "gateway/external_address.h"
#include "gateway/local_address.h"
#include "gateway/reach.h"
#include "net/socket.h"

namespace {

constexpr char kServicePrefix[] = "urn:schemas-upnp-org:service:";
constexpr char kIgdPrefix[] = "urn:schemas-upnp-org:device:InternetGatewayDevice:";

/// The default gateway of each interface, from the system's IPv4 routing table (none
/// where the system does not show one this way).
std::map<std::string, std::string> default_gateways() {
  std::map<std::string, std::string> gateways;
  std::ifstream table("/proc/net/route");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway;
    if (!(fields >> name >> destination >> gateway)) continue;
    unsigned long next_hop = 0;
    try {
      if (std::stoul(destination, nullptr, 16) != 0) continue;
      next_hop = std::stoul(gateway, nullptr, 16);
    } catch (const std::exception&) {
      continue;
    }
    if (next_hop == 0 || gateways.count(name) != 0) continue;
    char dotted[16];
    // Printed as the host-order number of a little-endian machine.
    std::snprintf(dotted, sizeof(dotted), "%lu.%lu.%lu.%lu", next_hop & 0xff,
                  (next_hop >> 8) & 0xff, (next_hop >> 16) & 0xff, (next_hop >> 24) & 0xff);
    gateways[name] = dotted;
  }
  return gateways;
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
      gateway->igd_version = std::atoi(type.c_str() + sizeof(kIgdPrefix) - 1);
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
std::string interface_toward(const std::string& location,
                             const std::vector<DiagnosedInterface>& interfaces) {
  GatewayHandle toward;
  toward.control_url = location;
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
                                      kDiagnoseConnectSeconds) == Error::kOk
                              ? 1
                              : 0;
}

std::string joined(const std::vector<std::string>& parts, const char* between) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : between) + part;
  return text;
}

const DiagnosedGateway* chosen_of(const Diagnosis& diagnosis) {
  for (const DiagnosedGateway& gateway : diagnosis.gateways) {
    if (gateway.chosen) return &gateway;
  }
  return nullptr;
}

}  // namespace

Diagnosis diagnose_read(const RequestRecord& request, const DiscoveryOptions& options) {
  Diagnosis diagnosis;
  std::vector<FoundDevice> found;
  std::vector<NetInterface> interfaces;
  (void)discover_all(options, &found, &interfaces);
  const std::map<std::string, std::string> routes = default_gateways();
  for (const NetInterface& interface : interfaces) {
    const auto route = routes.find(interface.name);
    diagnosis.interfaces.push_back(
        {interface.name, interface.address, route != routes.end() ? route->second : "", false});
  }
  for (const FoundDevice& device : found) {
    DiagnosedGateway gateway;
    describe(device, &gateway);
    gateway.interface_name = interface_toward(device.location, diagnosis.interfaces);
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
  // A plain command takes the first WAN IP connection, else the first WAN PPP one.
  DiagnosedGateway* chosen = nullptr;
  for (DiagnosedGateway& gateway : diagnosis.gateways) {
    if (!gateway.usable) continue;
    const bool ip = gateway.handle.service_type.compare(0, 15, "WANIPConnection") == 0;
    if (chosen == nullptr ||
        (ip && chosen->handle.service_type.compare(0, 15, "WANIPConnection"))) {
      if (chosen == nullptr || ip) chosen = &gateway;
      if (ip) break;
    }
  }
  if (chosen != nullptr) chosen->chosen = true;
  for (const DiagnosedGateway& gateway : diagnosis.gateways) {
    if (!gateway.usable || !gateway.external_read) continue;
    const Reach reach = reach_of(gateway.external_address);
    if (!reach_blocked(reach)) continue;
    diagnosis.double_nat = true;
    diagnosis.evidence.push_back(
        "router " + gateway.address +
        (gateway.external_address.empty() ? "" : " (external " + gateway.external_address + ")") +
        ": " + reach_reason(reach));
  }
  diagnosis.forwarding_asked = request.external_port != 0;
  if (diagnosis.forwarding_asked) {
    diagnosis.forwarding.protocol = text_upper_ascii(request.protocol);
    diagnosis.forwarding.external_port = request.external_port;
    if (chosen != nullptr) look_up_forwarding(*chosen, &diagnosis.forwarding);
  }
  diagnosis.advice = diagnose_advice(diagnosis);
  return diagnosis;
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
  if (chosen == nullptr) {
    advice.push_back({diagnosis.gateways.empty()
                          ? "No UPnP router answered the search."
                          : "No device that answered offers a WAN connection service.",
                      "Turn UPnP IGD on in the router's settings, or name its description "
                      "with --url."});
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
      advice.push_back({"The device at " + chosen->address +
                            " answered first; your default gateway is " + default_address + ".",
                        at_default != nullptr
                            ? "Use --url " + at_default->location +
                                  " to reach it, or turn UPnP off on " + chosen->address + "."
                            : "Turn UPnP IGD on in the settings of " + default_address +
                                  ", or turn it off on " + chosen->address + "."});
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

void print_wrapped(const std::string& text, const char* first, const char* rest) {
  const size_t label = std::string(first).size();
  bool start = true;
  for (const std::string& row : wrapped(text, kWide - label)) {
    console_printf("| %s%s |\n", start ? first : rest, cell(row, kWide - label).c_str());
    start = false;
  }
}

void print_row(const char* label, const std::string& value) {
  print_wrapped(value.empty() ? "N/A" : value, label, "                ");
}

void print_gateway(const DiagnosedGateway& gateway) {
  print_row("Device:        ",
            "UPnP at " + gateway.address +
                (gateway.interface_name.empty() ? "" : " on " + gateway.interface_name));
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
  run_budget_start(kDiagnoseSeconds);
  const Diagnosis diagnosis = diagnose_read(request, options);
  const Outcome outcome{Status::kSuccess, "", ExitStatus::kDone};
  if (json) {
    json_write_diagnosis(diagnosis, outcome);
  } else {
    print_diagnosis(diagnosis);
  }
  return outcome;
}
