// The IPv6 firewall's pinhole commands: -pinhole -status, -add, -remove and -check, through
// UPnP or (-add, -remove) PCP. Each computes a plain result that the screens and the JSON
// document show (render/); hold/ keeps an added pinhole with pinhole_apply.
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

/// -pinhole -add or -remove (PROTO PORT) through PCP at `gateway`, for `gateway.source`.
PcpPinholeResult pcp_pinhole_apply(int code, const RequestRecord& request,
                                   const PortmapGateway& gateway);

/// How a pinhole command through PCP ends the run: success, or a failure whose box has
/// been shown.
Outcome pcp_pinhole_outcome(const PcpPinholeResult& result);

#endif  // PORTWRANGLER_FLOWS_PINHOLE_H_
