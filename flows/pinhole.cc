#include "flows/pinhole.h"

#include <cstdio>
#include <memory>

#include "base/format.h"
#include "base/limits.h"
#include "base/protocol.h"
#include "base/retry.h"
#include "base/text.h"
#include "base/trace.h"
#include "cli/grammar.h"
#include "flows/portmap.h"
#include "gateway/local_address.h"
#include "net/socket.h"
#include "portmap/pcp.h"
#include "portmap/store.h"
#include "render/console.h"
#include "render/json.h"

namespace {

constexpr char kFirewallTitle[] =
    "| -----------------  UPnP Router - IPv6 Firewall  ------------------ |\n";

/// A row of a label and a value: the label in 18 columns, the value (texts from the
/// router made printable) in 48.
void print_firewall_row(const char* label, const std::string& value) {
  console_printf("| %-18s%s |\n", label, cell(value, 48).c_str());
}

/// "[title]   -   UPnP Router - IPv6 Firewall" (or the PCP gateway's) between rule lines,
/// under the highlight bar when it tells a failure.
void print_title(bool failed, const std::string& title, const char* device = "UPnP Router") {
  if (failed) print_highlight_bar();
  print_boxed_title(framed_row("| [" + title + "]   -   " + device + " - IPv6 Firewall").c_str());
}

const char* yes_no(bool value) {
  return value ? "Yes" : "No";
}

/// A boolean of the firewall's status on screen; one that is no UPnP boolean as the
/// router wrote it.
std::string truth_shown(Truth truth, const char* yes, const char* no, const std::string& text) {
  if (truth == Truth::kUnknown) return "Unknown: the router says \"" + text + "\"";
  return truth == Truth::kTrue ? yes : no;
}

/// A check's part the router did not tell, or told in words that are no answer.
std::string untold(const std::string& text, int fault) {
  if (fault != 0) return format_string("Unknown: the router will not tell (UPnP error %d)", fault);
  return text.empty() ? "Unknown: the router cannot tell"
                      : "Unknown: the router says \"" + text + "\"";
}

/// The status box of a refusal, by the router's UPnP error and the command.
Outcome refusal_of(const PinholeResult& result) {
  if (result.error == Error::kGatewayNoFirewall) return {Status::kNoFirewall, kMessageNoFirewall};
  if (pinhole_maybe_added(result)) return {Status::kPinholeUnknown, kMessagePinholeUnknown};
  if (result.unknown) return {Status::kRemoveUnknown, kMessageRemoveUnknown};
  if (result.error == Error::kHttpNotOk) {
    switch (result.fault) {
      case kUpnpActionNotAuthorized:
        return {Status::kPinholeNotAuthorized, kMessagePinholeNotAuthorized};
      case kUpnpPinholeSpaceExhausted:
        return {Status::kPinholeNoRoom, kMessagePinholeNoRoom};
      case kUpnpFirewallDisabled:
        return {Status::kFirewallOff, kMessageFirewallOff};
      case kUpnpInboundPinholeNotAllowed:
      case kUpnpPinholesNotAllowed:
        return {Status::kPinholeNotAllowed, kMessagePinholeNotAllowed};
      case kUpnpNoSuchPinhole:
        return {Status::kNoSuchPinhole, kMessageNoSuchPinhole};
      case 402:
        // Invalid Args: for a command whose one argument is the ID, routers say so of an
        // ID they do not hold.
        if (result.code == kPinholeRemove || result.code == kPinholeCheck) {
          return {Status::kNoSuchPinhole, kMessageNoSuchPinhole};
        }
        break;
      default:
        break;
    }
  }
  return {Status::kPinholeFailed, kMessagePinholeFailed};
}

}  // namespace

PinholeResult pinhole_apply(int code, const RequestRecord& request, const GatewayHandle& gateway) {
  PinholeResult result;
  result.code = code;
  switch (code) {
    case kPinholeStatus:
      result.error = firewall_status(gateway, &result.status, &result.fault);
      break;
    case kPinholeAdd:
      result.request.client = request.local_address;
      result.request.port = request.pinhole_port;
      result.request.protocol = protocol_number(request.protocol);
      result.request.lease_seconds = request.pinhole_lease;
      result.error =
          pinhole_add(gateway, result.request, &result.id, &result.id_text, &result.fault);
      if (pinhole_maybe_added(result)) {
        trace("pinhole: the router may have opened it, but no ID is known (%s)",
              result.error == Error::kGatewayNoPinholeId
                  ? ("it named \"" + result.id_text + "\"").c_str()
                  : "the answer was lost");
      }
      break;
    case kPinholeRemove:
      result.id = static_cast<uint16_t>(request.pinhole_id);
      result.error = pinhole_delete(gateway, result.id, &result.fault);
      if (request_may_have_arrived(result.error)) {
        // The router may have closed it: a check of the ID tells.
        PinholeCheck check;
        int fault = 0;
        const Error read = pinhole_check(gateway, result.id, &check, &fault);
        if (pinhole_gone(read, fault)) {
          trace("pinhole: the answer was lost after the request went out; it is gone");
          result.error = Error::kOk;
        } else if (read != Error::kOk) {
          trace(
              "pinhole: the answer was lost after the request went out, and a check "
              "cannot tell whether it is gone");
          result.unknown = true;
        }
      }
      break;
    default:
      result.id = static_cast<uint16_t>(request.pinhole_id);
      result.error = pinhole_check(gateway, result.id, &result.check, &result.fault);
      break;
  }
  if (result.error != Error::kOk) {
    trace("pinhole: %s%s", trace_error(result.error),
          result.fault != 0 ? format_string(" (UPnP error %d)", result.fault).c_str() : "");
  }
  return result;
}

bool pinhole_maybe_added(const PinholeResult& result) {
  return result.code == kPinholeAdd &&
         (result.error == Error::kGatewayNoPinholeId || request_may_have_arrived(result.error));
}

Outcome pinhole_outcome(const PinholeResult& result) {
  if (result.error == Error::kOk) return {Status::kSuccess, ""};
  return refusal_of(result);
}

Outcome pinhole_show(const PinholeResult& result) {
  const Outcome outcome = pinhole_outcome(result);
  const bool failed = outcome.status != Status::kSuccess;
  if (failed) print_status_box(outcome.status, outcome.message);
  switch (result.code) {
    case kPinholeStatus:
      if (failed) break;
      print_boxed_title(kFirewallTitle);
      print_firewall_row("Firewall:", truth_shown(result.status.enabled, "Enabled", "Disabled",
                                                  result.status.enabled_text));
      print_firewall_row("Inbound Pinholes:",
                         truth_shown(result.status.inbound_allowed, "Allowed", "Not Allowed",
                                     result.status.inbound_text));
      print_rule_line();
      break;
    case kPinholeAdd:
      if (pinhole_maybe_added(result)) {
        print_title(true, "Pinhole Not Confirmed");
        print_firewall_row("Pinhole ID:",
                           result.error == Error::kGatewayNoPinholeId
                               ? "Unknown: the router says \"" + result.id_text + "\""
                               : "Unknown: the answer was lost");
      } else {
        print_title(failed, failed ? "Pinhole Not Added" : "Pinhole Added");
        if (!failed) print_firewall_row("Pinhole ID:", std::to_string(result.id));
      }
      print_firewall_row("Protocol:", protocol_name(result.request.protocol));
      print_firewall_row("Internal Client:", result.request.client);
      print_firewall_row("Port:", std::to_string(result.request.port));
      print_firewall_row("Lease:", std::to_string(result.request.lease_seconds) + " s");
      print_rule_line();
      break;
    case kPinholeRemove:
      print_title(failed, result.unknown ? "Pinhole Not Confirmed"
                          : failed       ? "Pinhole Not Removed"
                                         : "Pinhole Removed");
      print_firewall_row("Pinhole ID:", std::to_string(result.id));
      print_rule_line();
      break;
    default:
      if (failed) break;
      print_title(false, "Pinhole Check");
      print_firewall_row("Pinhole ID:", std::to_string(result.id));
      print_firewall_row("Working:",
                         result.check.working_known
                             ? yes_no(result.check.working)
                             : untold(result.check.working_text, result.check.working_fault));
      print_firewall_row("Packets Through:",
                         result.check.packets_known
                             ? std::to_string(result.check.packets)
                             : untold(result.check.packets_text, result.check.packets_fault));
      print_rule_line();
      break;
  }
  // The status box has said it all: the run ends without another.
  return failed ? Outcome{Status::kFailure, "", exit_status_of(outcome)} : outcome;
}

Outcome pinhole_flow(int code, const RequestRecord& request, const GatewayHandle& gateway) {
  return pinhole_show(pinhole_apply(code, request, gateway));
}

Outcome json_pinhole_flow(int code, const RequestRecord& request, const GatewayHandle& gateway) {
  const PinholeResult result = pinhole_apply(code, request, gateway);
  const Outcome outcome = pinhole_outcome(result);
  console_write(json_pinhole_document(result, outcome));
  return outcome;
}

namespace {

/// A failure of a pinhole command through PCP.
PcpPinholeResult pcp_failed(PcpPinholeResult result, Status status, const std::string& message,
                            ExitStatus exit) {
  result.status = status;
  result.message = message;
  result.exit = exit;
  return result;
}

PcpPinholeResult pcp_pinhole_apply(int code, const RequestRecord& request,
                                   const PortmapGateway& gateway) {
  PcpPinholeResult result;
  result.code = code;
  result.request.client = gateway.source;
  result.request.port = request.pinhole_port;
  result.request.protocol = protocol_number(request.protocol);
  result.request.lease_seconds = code == kPinholeAdd ? request.pinhole_lease : 0;
  const char* verb = code == kPinholeAdd ? "Pinhole" : "Pinhole Removal";
  if (!net_host_is_v6(gateway.source)) {
    result.cause = "this host has no IPv6 address toward " + gateway.address;
    return pcp_failed(result, Status::kPortmapNoGateway,
                      "PCP Failure -> No IPv6 Gateway (--gateway ADDR).", ExitStatus::kNoRouter);
  }
  StoreSecret secret{};
  const std::string folder = store_folder();
  std::string problem;
  if (store_secret(folder, &secret, &problem) != Error::kOk) {
    result.cause = problem;
    return pcp_failed(result, Status::kPinholeFailed,
                      "Pinhole Failure -> This Host's PCP Secret Cannot Be Made.",
                      ExitStatus::kRefused);
  }
  // The pinhole's nonce is the mapping's: a later run closes what an earlier one opened.
  const PortmapRequest map{static_cast<uint8_t>(result.request.protocol), gateway.source,
                           result.request.port, result.request.port, result.request.lease_seconds};
  const PortmapGrant grant = pcp_map(
      gateway, map, store_nonce(secret, map.internal_address, map.internal_port, map.protocol),
      portmap_schedule_by(pcp_one_shot_schedule(), gateway.deadline));
  if (grant.error == Error::kPortmapNoAnswer || grant.error == Error::kPortmapNatpmpOnly) {
    result.cause = error_text(grant.error);
    return pcp_failed(result, Status::kPortmapNoGateway,
                      "PCP Failure -> No Answer From " + gateway.address + ".",
                      ExitStatus::kNoRouter);
  }
  if (grant.error != Error::kOk) {
    result.cause = portmap_cause(MapVia::kPcp, grant);
    const Status status = grant.result == kPcpNotAuthorized ? Status::kPinholeNotAuthorized
                          : grant.result == kPcpNoResources || grant.result == kPcpUserExQuota
                              ? Status::kPinholeNoRoom
                              : Status::kPinholeFailed;
    return pcp_failed(result, status,
                      std::string(verb) + " Refused -> " + result.cause + " From The PCP Gateway.",
                      ExitStatus::kRefused);
  }
  // The answer's external port repeats the one suggested: what was asked is reported.
  result.lease_granted = grant.lifetime;
  return result;
}

void pcp_pinhole_show(const PcpPinholeResult& result) {
  const bool failed = result.status != Status::kSuccess;
  if (failed) {
    print_rule_line();
    console_printf("%s", framed_row("| Status: [" + three_digits(static_cast<int>(result.status)) +
                                    "] - (PCP Gateway Error)")
                             .c_str());
    print_rule_line();
    print_message_rows(result.message);
    print_rule_line();
  }
  const bool add = result.code == kPinholeAdd;
  print_title(failed,
              add ? (failed ? "Pinhole Not Added" : "Pinhole Added")
                  : (failed ? "Pinhole Not Removed" : "Pinhole Removed"),
              "PCP Gateway");
  print_firewall_row("Protocol:", protocol_name(result.request.protocol));
  print_firewall_row("Internal Client:", result.request.client);
  print_firewall_row("Port:", std::to_string(result.request.port));
  if (add) {
    print_firewall_row("Lease:", failed ? std::to_string(result.request.lease_seconds) + " s asked"
                                        : std::to_string(result.lease_granted) + " s granted of " +
                                              std::to_string(result.request.lease_seconds) +
                                              " s asked");
  }
  print_rule_line();
}

}  // namespace

Outcome pcp_pinhole_flow(int code, const RequestRecord& request, const PortmapGateway& gateway,
                         bool json) {
  const PcpPinholeResult result = pcp_pinhole_apply(code, request, gateway);
  if (json) {
    console_write(json_pcp_pinhole_document(result));
  } else {
    pcp_pinhole_show(result);
  }
  if (result.status == Status::kSuccess) return {Status::kSuccess, ""};
  return {Status::kFailure, "", result.exit};
}
