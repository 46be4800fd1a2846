// -diagnose: every gateway the search finds, what they say of the path to the internet,
// one forwarding looked up, and for each finding the next step. It reads only: searches,
// descriptions and read actions; nothing on any router changes.
#ifndef PORTWRANGLER_FLOWS_DIAGNOSE_H_
#define PORTWRANGLER_FLOWS_DIAGNOSE_H_

#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/records.h"
#include "cli/status.h"
#include "gateway/discovery.h"
#include "gateway/mapping.h"

/// One gateway that answered.
struct DiagnosedGateway {
  std::string protocol = "upnp";  // map_via_name(diagnosed_via)
  std::string address;
  std::string interface_name;  // empty: not told
  std::string friendly_name;
  std::string location;
  std::vector<std::string> services;  // short types: "WANIPConnection:2"
  int igd_version = 0;                // 0: no InternetGatewayDevice type in its description
  bool firewall = false;              // offers WANIPv6FirewallControl
  bool usable = false;                // a plain command could take it
  bool default_gateway = false;       // at its interface's default gateway
  bool chosen = false;                // the one a plain command would use
  bool external_read = false;
  std::string external_address;
  int answer_ms = 0;
  GatewayHandle handle;
  int version = -1;      // PCP's or NAT-PMP's; -1 for UPnP
  long long epoch = -1;  // the server's epoch in seconds; -1: not told
  int refusal = 0;       // the result code of a refusing answer (0: none)
};

/// An interface searched, with its default gateway and whether anything answered there.
struct DiagnosedInterface {
  std::string name;
  std::string address;
  std::string default_gateway;  // empty: none
  bool answered = false;
};

/// The one forwarding asked about.
struct DiagnosedForwarding {
  std::string protocol;
  uint16_t external_port = 0;
  bool looked_up = false;  // the table was asked
  bool in_table = false;
  MappingEntry entry;
  bool this_host = false;  // its client is this host's address toward the router
  int listening = -1;      // 1 something accepts a connect, 0 nothing does, -1 cannot tell
};

/// A finding and what to do about it.
struct Advice {
  std::string finding;
  std::string next_step;
};

struct Diagnosis {
  std::vector<DiagnosedInterface> interfaces;
  std::vector<DiagnosedGateway> gateways;
  bool double_nat = false;
  std::vector<std::string> evidence;
  bool forwarding_asked = false;
  DiagnosedForwarding forwarding;
  std::vector<Advice> advice;
};

/// Everything that can be found out, within the run's budget.
Diagnosis diagnose_read(const RequestRecord& request, const DiscoveryOptions& options);

/// The double NAT's evidence among the gateways' answers: an external address that is
/// not public, NAT-PMP's network failure (3), PCP's ADDRESS_MISMATCH, or protocols that
/// report other external addresses.
std::vector<std::string> diagnose_evidence(const std::vector<DiagnosedGateway>& gateways);

/// The findings and next steps of a diagnosis whose facts are read (pure: no network).
std::vector<Advice> diagnose_advice(const Diagnosis& diagnosis);

/// The diagnosis within the report's own bound (kDiagnoseSeconds), whatever the run's.
Diagnosis diagnose_run(const RequestRecord& request, const DiscoveryOptions& options);

/// How the report ends a run: success (exit 0), whatever it found.
Outcome diagnose_outcome();

/// The protocol `gateway` answered in: UPnP, PCP or NAT-PMP (by its version).
MapVia diagnosed_via(const DiagnosedGateway& gateway);

/// That protocol as texts name it: "UPnP", "PCP", "NAT-PMP".
const char* diagnosed_protocol_title(const DiagnosedGateway& gateway);

#endif  // PORTWRANGLER_FLOWS_DIAGNOSE_H_
