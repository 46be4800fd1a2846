#include "render/screens_pinhole.h"

#include <string>

#include "base/format.h"
#include "base/protocol.h"
#include "cli/grammar.h"
#include "render/console.h"
#include "render/screens_portmap.h"

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

void show_status(const PinholeResult& result) {
  print_boxed_title(kFirewallTitle);
  print_firewall_row("Firewall:", truth_shown(result.status.enabled, "Enabled", "Disabled",
                                              result.status.enabled_text));
  print_firewall_row("Inbound Pinholes:", truth_shown(result.status.inbound_allowed, "Allowed",
                                                      "Not Allowed", result.status.inbound_text));
  print_rule_line();
}

void show_add(const PinholeResult& result, bool failed) {
  if (pinhole_maybe_added(result)) {
    print_title(true, "Pinhole Not Confirmed");
    print_firewall_row("Pinhole ID:", result.error == Error::kGatewayNoPinholeId
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
}

void show_remove(const PinholeResult& result, bool failed) {
  print_title(failed, result.unknown ? "Pinhole Not Confirmed"
                      : failed       ? "Pinhole Not Removed"
                                     : "Pinhole Removed");
  print_firewall_row("Pinhole ID:", std::to_string(result.id));
  print_rule_line();
}

void show_check(const PinholeResult& result) {
  print_title(false, "Pinhole Check");
  print_firewall_row("Pinhole ID:", std::to_string(result.id));
  print_firewall_row("Working:", result.check.working_known ? yes_no(result.check.working)
                                                            : untold(result.check.working_text,
                                                                     result.check.working_fault));
  print_firewall_row("Packets Through:",
                     result.check.packets_known
                         ? std::to_string(result.check.packets)
                         : untold(result.check.packets_text, result.check.packets_fault));
  print_rule_line();
}

}  // namespace

Outcome pinhole_show(const PinholeResult& result) {
  const Outcome outcome = pinhole_outcome(result);
  const bool failed = outcome.status != Status::kSuccess;
  if (failed) print_status_box(outcome.status, outcome.message);
  switch (result.code) {
    case kPinholeStatus:
      if (!failed) show_status(result);
      break;
    case kPinholeAdd:
      show_add(result, failed);
      break;
    case kPinholeRemove:
      show_remove(result, failed);
      break;
    default:
      if (!failed) show_check(result);
      break;
  }
  // The status box has said it all: the run ends without another.
  return failed ? Outcome{Status::kFailure, "", exit_status_of(outcome)} : outcome;
}

void pcp_pinhole_show(const PcpPinholeResult& result) {
  const bool failed = result.status != Status::kSuccess;
  if (failed) print_gateway_failure_box(result.status, MapVia::kPcp, result.message);
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
