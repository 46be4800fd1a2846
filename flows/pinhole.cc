#include "flows/pinhole.h"

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

namespace {

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

/// -remove of `result->id`; where the answer was lost after the request went out, a
/// check of the ID tells whether the router closed it.
void remove_pinhole(const GatewayHandle& gateway, PinholeResult* result) {
  result->error = pinhole_delete(gateway, result->id, &result->fault);
  if (!request_may_have_arrived(result->error)) return;
  PinholeCheck check;
  int fault = 0;
  const Error read = pinhole_check(gateway, result->id, &check, &fault);
  if (pinhole_gone(read, fault)) {
    trace("pinhole: the answer was lost after the request went out; it is gone");
    result->error = Error::kOk;
  } else if (read != Error::kOk) {
    trace(
        "pinhole: the answer was lost after the request went out, and a check "
        "cannot tell whether it is gone");
    result->unknown = true;
  }
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
      remove_pinhole(gateway, &result);
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

namespace {

/// A failure of a pinhole command through PCP.
PcpPinholeResult pcp_failed(PcpPinholeResult result, Status status, const std::string& message,
                            ExitStatus exit) {
  result.status = status;
  result.message = message;
  result.exit = exit;
  return result;
}

}  // namespace

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

Outcome pcp_pinhole_outcome(const PcpPinholeResult& result) {
  if (result.status == Status::kSuccess) return {Status::kSuccess, ""};
  return {Status::kFailure, "", result.exit};
}
