// The IPv6 firewall's pinhole commands: -pinhole -status, -add, -remove and -check. Each
// computes a plain result (pinhole_apply) that the screens and the JSON document show;
// --keep holds an added pinhole, renewing it with UpdatePinhole, and deletes it at the end.
#ifndef PORTWRANGLER_FLOWS_PINHOLE_H_
#define PORTWRANGLER_FLOWS_PINHOLE_H_

#include <string>

#include "base/error.h"
#include "cli/records.h"
#include "cli/status.h"
#include "gateway/discovery.h"
#include "gateway/firewall.h"
#include "gateway/handle.h"
#include "portmap/exchange.h"

/// What a pinhole command did.
struct PinholeResult {
  int code = 0;
  Error error = Error::kOk;  // kOk: the router did it
  int fault = 0;             // the router's UPnP error of a refusal
  FirewallStatus status;     // -status
  PinholeRequest request;    // -add: what was asked for
  uint16_t id = 0;           // -add: the router's ID; -remove, -check: the one asked about
  std::string id_text;       // -add: what the router named, when no ID (kGatewayNoPinholeId)
  bool unknown = false;      // -remove: the answer was lost, and a check could not tell
  PinholeCheck check;        // -check
};

/// Runs the pinhole command `code` against the router: `request.local_address` is this
/// host's address toward it, the pinhole's client.
PinholeResult pinhole_apply(int code, const RequestRecord& request, const GatewayHandle& gateway);

/// Whether an add may have opened the pinhole although no ID is known: its answer was
/// lost after the request went out, or it named no ID.
bool pinhole_maybe_added(const PinholeResult& result);

/// How a pinhole command ends a run: success, or the status of the router's refusal.
Outcome pinhole_outcome(const PinholeResult& result);

/// The screens of a pinhole command, and how it ends the run.
Outcome pinhole_show(const PinholeResult& result);

/// The whole command with screens.
Outcome pinhole_flow(int code, const RequestRecord& request, const GatewayHandle& gateway);

/// The JSON document of a pinhole command.
std::string json_pinhole_document(const PinholeResult& result, const Outcome& outcome);

/// The whole command with its JSON document.
Outcome json_pinhole_flow(int code, const RequestRecord& request, const GatewayHandle& gateway);

/// What a pinhole command through PCP did: a MAP for this host's IPv6 address opens the
/// gateway's firewall for the port (lifetime 0 closes it). PCP names no pinhole ID.
struct PcpPinholeResult {
  int code = 0;
  PinholeRequest request;  // lease_seconds: the lifetime asked
  uint32_t lease_granted = 0;
  Status status = Status::kSuccess;
  std::string message;  // the status box's text, when it tells a failure
  std::string cause;    // the gateway's words for it
  ExitStatus exit = ExitStatus::kDone;
};

/// -pinhole -add or -remove (PROTO PORT) through PCP at `gateway`, for `gateway.source`:
/// its screens, or its JSON document with `json`.
Outcome pcp_pinhole_flow(int code, const RequestRecord& request, const PortmapGateway& gateway,
                         bool json);

/// The JSON document of a pinhole command through PCP.
std::string json_pcp_pinhole_document(const PcpPinholeResult& result);

#endif  // PORTWRANGLER_FLOWS_PINHOLE_H_
