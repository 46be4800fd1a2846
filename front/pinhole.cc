#include "front/pinhole.h"

#include <cstdio>

#include "base/budget.h"
#include "base/format.h"
#include "base/limits.h"
#include "base/retry.h"
#include "base/text.h"
#include "base/trace.h"
#include "front/console.h"
#include "front/grammar.h"
#include "front/json_out.h"
#include "gateway/local_address.h"

namespace {

constexpr char kFirewallTitle[] =
    "| -----------------  UPnP Router - IPv6 Firewall  ------------------ |\n";

/// A row of a label and a value: the label in 18 columns, the value (texts from the
/// router made printable) in 48.
void print_row(const char* label, const std::string& value) {
  console_printf("| %-18s%s |\n", label, cell(value, 48).c_str());
}

/// "[title]   -   UPnP Router - IPv6 Firewall" between rule lines, under the highlight bar
/// when it tells a failure.
void print_title(bool failed, const std::string& title) {
  if (failed) print_highlight_bar();
  print_boxed_title(framed_row("| [" + title + "]   -   UPnP Router - IPv6 Firewall").c_str());
}

std::string protocol_name(int number) {
  return number == 17 ? "UDP" : "TCP";
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
std::string untold(const std::string& text) {
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

/// One line per event of a held pinhole: standard error, or a JSON line with `json`.
void event(bool json, const PinholeResult& held, const char* name, const std::string& text,
           Error error, int fault) {
  const std::string time = keep_utc_now();
  std::string answer = error != Error::kOk ? trace_error(error) : "";
  if (fault != 0) answer += format_string(" (UPnP error %d)", fault);
  if (json) {
    console_write(json_pinhole_event_line(time, name, text, held.id, held.request, answer));
    std::fflush(stdout);
    return;
  }
  const PinholeRequest& r = held.request;
  const std::string line = format_string(
      "%s %s: pinhole %u, %s [%s]:%u%s%s%s%s", time.c_str(), name, held.id,
      protocol_name(r.protocol).c_str(), r.client.c_str(), r.port, text.empty() ? "" : ", ",
      text.c_str(), answer.empty() ? "" : "; router: ", answer.c_str());
  std::fputs((text_printable(line) + "\n").c_str(), stderr);
  std::fflush(stderr);
}

/// Whether a refusal says the router holds no such pinhole (lost in a reboot, or its
/// lease ran out): then it is added again.
bool pinhole_gone(Error error, int fault) {
  return error == Error::kHttpNotOk && (fault == kUpnpNoSuchPinhole || fault == 402);
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
      result.request.protocol = pinhole_protocol_number(request.protocol);
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
      print_row("Firewall:", truth_shown(result.status.enabled, "Enabled", "Disabled",
                                         result.status.enabled_text));
      print_row("Inbound Pinholes:", truth_shown(result.status.inbound_allowed, "Allowed",
                                                 "Not Allowed", result.status.inbound_text));
      print_rule_line();
      break;
    case kPinholeAdd:
      if (pinhole_maybe_added(result)) {
        print_title(true, "Pinhole Not Confirmed");
        print_row("Pinhole ID:", result.error == Error::kGatewayNoPinholeId
                                     ? "Unknown: the router says \"" + result.id_text + "\""
                                     : "Unknown: the answer was lost");
      } else {
        print_title(failed, failed ? "Pinhole Not Added" : "Pinhole Added");
        if (!failed) print_row("Pinhole ID:", std::to_string(result.id));
      }
      print_row("Protocol:", protocol_name(result.request.protocol));
      print_row("Internal Client:", result.request.client);
      print_row("Port:", std::to_string(result.request.port));
      print_row("Lease:", std::to_string(result.request.lease_seconds) + " s");
      print_rule_line();
      break;
    case kPinholeRemove:
      print_title(failed, result.unknown ? "Pinhole Not Confirmed"
                          : failed       ? "Pinhole Not Removed"
                                         : "Pinhole Removed");
      print_row("Pinhole ID:", std::to_string(result.id));
      print_rule_line();
      break;
    default:
      if (failed) break;
      print_title(false, "Pinhole Check");
      print_row("Pinhole ID:", std::to_string(result.id));
      print_row("Working:", result.check.working_known ? yes_no(result.check.working)
                                                       : untold(result.check.working_text));
      print_row("Packets Through:", result.check.packets_known
                                        ? std::to_string(result.check.packets)
                                        : untold(result.check.packets_text));
      print_rule_line();
      break;
  }
  // The status box has said it all: the run ends without another.
  return failed ? Outcome{Status::kFailure, nullptr, exit_status_of(outcome)} : outcome;
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

Outcome pinhole_keep_run(const RequestRecord& request, GatewayHandle* gateway,
                         const DiscoveryOptions& discovery, bool json, const KeepWaiter& waiter) {
  PinholeResult held = pinhole_apply(kPinholeAdd, request, *gateway);
  if (!json) pinhole_show(held);
  if (held.error != Error::kOk) {
    event(json, held, "refused", "not added", held.error, held.fault);
    return pinhole_outcome(held);
  }
  event(json, held, "added", format_string("lease %u s", held.request.lease_seconds), Error::kOk,
        0);
  int failures = 0;
  int wait = keep_renew_ms(held.request.lease_seconds);
  while (!waiter.wait(wait)) {
    // Each renewal is a run of its own: the same bound on its waits, afresh.
    run_budget_start(kRunSeconds);
    int fault = 0;
    Error error = pinhole_update(*gateway, held.id, held.request.lease_seconds, &fault);
    if (pinhole_gone(error, fault)) {
      // The router lost it (a reboot, a lease that ran out): opened again, a new ID.
      const PinholeResult again = pinhole_apply(kPinholeAdd, request, *gateway);
      error = again.error;
      fault = again.fault;
      if (error == Error::kOk) {
        held = again;
        event(json, held, "added again", "the router had lost it", Error::kOk, 0);
      }
    } else if (error == Error::kOk) {
      event(json, held, "renewed", format_string("lease %u s", held.request.lease_seconds),
            Error::kOk, 0);
    }
    if (error == Error::kOk) {
      failures = 0;
      wait = keep_renew_ms(held.request.lease_seconds);
      continue;
    }
    if (error == Error::kHttpNotOk) {
      // A refusal other than a lost pinhole: the router will not hold it for us.
      held.error = error;
      held.fault = fault;
      event(json, held, "refused", "no longer held", error, fault);
      return pinhole_outcome(held);
    }
    // Away: waited out, and looked for again, as long as it takes.
    event(json, held, "unreachable",
          format_string("the router does not answer; next try in %d s",
                        keep_backoff_ms(failures + 1) / 1000),
          error, 0);
    wait = keep_backoff_ms(++failures);
    GatewayHandle found;
    if (failures > 1 && discover_gateway(discovery, &found) == Error::kOk) {
      *gateway = std::move(found);
    }
  }
  run_budget_start(kRunSeconds);
  int fault = 0;
  const Error error = pinhole_delete(*gateway, held.id, &fault);
  event(json, held, error == Error::kOk ? "removed" : "not removed", "", error, fault);
  keep_platform_done();
  if (error == Error::kOk || pinhole_gone(error, fault)) return {Status::kSuccess, ""};
  if (error_in_transport(error)) {
    return {Status::kPinholeFailed, kMessagePinholeFailed, ExitStatus::kNoRouter};
  }
  held.error = error;
  held.fault = fault;
  return pinhole_outcome(held);
}
