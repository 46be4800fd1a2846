#include "front/change.h"

#include "base/limits.h"
#include "base/retry.h"
#include "base/text.h"
#include "base/trace.h"
#include "front/console.h"
#include "front/grammar.h"
#include "front/walk.h"

namespace {

void print_entry_block(const std::string& description, const std::string& protocol,
                       const std::string& client, const std::string& internal_port,
                       const std::string& external_port) {
  console_printf("| Description |  %s  %1s\n",
                 cell(description.empty() ? "N/A" : description, 50).c_str(), "|");
  print_rule_line();
  console_printf("| Protocol |   Private IP %5s Internal  Port |  External  Port     |\n", "|");
  print_rule_line();
  console_printf("|   %s %s %s   %s  %8s\n", fixed_cell(protocol, 3).c_str(),
                 fixed_cell_right(client, 20).c_str(), fixed_cell_right(internal_port, 12).c_str(),
                 fixed_cell_right(external_port, 16).c_str(), "|");
  print_rule_line();
}

/// The outcome title between rule lines, under the highlight bar when it tells a failure.
void print_outcome(bool failed, const std::string& title_line) {
  if (failed) print_highlight_bar();
  print_boxed_title(title_line.c_str());
}

Outcome end_of(bool failed) {
  return failed ? Outcome{Status::kFailure, nullptr} : Outcome{Status::kSuccess, ""};
}

}  // namespace

bool add_clashes(const RequestRecord& request, const MappingEntry& entry) {
  if (!text_equal_ignoring_case(entry.protocol, request.protocol)) return false;
  if (entry.external_port == request.external_port) return true;
  return text_equal_ignoring_case(entry.client, address_meant(request.ip_address)) &&
         entry.internal_port == request.internal_port;
}

const char* add_outcome_title(bool failed) {
  return failed ? "| [Entry Not Added]   -   UPnP Router - Port Forwarding              |\n"
                : "| [Entry Added]   -   UPnP Router - Port Forwarding                  |\n";
}

bool remove_matches(const RequestRecord& request, const MappingEntry& entry) {
  return entry.external_port == request.external_port &&
         text_equal_ignoring_case(entry.protocol, request.protocol);
}

Outcome remove_refusal(bool quick, bool found) {
  return {quick ? Status::kRemoveRefusedQuick : Status::kRemoveRefused,
          found ? kMessageRemoveDenied : kMessageRemoveRefused};
}

std::string remove_outcome_title(bool found, bool failed, int id) {
  if (!found) {
    return failed ? "| [Entry Not Removed]   -   UPnP Router - Port Forwarding            |\n"
                  : "| [Entry Removed]   -   UPnP Router - Port Forwarding                |\n";
  }
  return framed_row("| [Entry (" + three_digits(id) +
                    (failed ? ") Not Removed]   -   UPnP Router - Port Forwarding      "
                            : ") Removed]   -   UPnP Router - Port Forwarding          "));
}

Outcome add_flow(const RequestRecord& request, const GatewayHandle& gateway) {
  TableWalk walk = walk_from(0, kWalkMax);
  MappingEntry clash;
  bool found = false;
  WalkStep step = WalkStep::kEnd;
  if (!request.quick) {
    // A pass the table's change voided is read again; a clash seen in it stands, since
    // the entry was there.
    while (!found && ((step = walk_next(&walk, gateway, &clash)) == WalkStep::kEntry ||
                      step == WalkStep::kRestarted)) {
      found = step == WalkStep::kEntry && add_clashes(request, clash);
    }
  }
  // An address typed in a short, octal or hexadecimal form is sent as the one it means.
  const std::string client =
      !request.ip_address.empty() ? address_meant(request.ip_address) : request.local_address;
  // A check that could not read the whole table must not let the add replace an entry it
  // did not see.
  const bool unchecked = !found && step == WalkStep::kBroken;
  bool failed = found || unchecked;
  if (found) {
    print_status_box(Status::kDuplicate, kMessageDuplicate);
  } else if (unchecked) {
    print_status_box(Status::kAddRefused, kMessageAddRefused);
  } else {
    MappingRequest mapping{client, request.external_port, request.internal_port, request.protocol,
                           request.description};
    const Error error = gateway_add_mapping(gateway, mapping);
    if (error != Error::kOk) {
      failed = true;
      if (request_may_have_arrived(error)) {
        trace(
            "add: the answer was lost after the request went out: the router may have "
            "made the entry (-list, or the clash check of a rerun, shows it)");
      }
      print_status_box(Status::kAddRefused, kMessageAddRefused);
    }
  }
  std::string description = request.description;
  truncate_description(&description);  // the router has it whole already
  print_outcome(failed, add_outcome_title(failed));
  print_entry_block(description, request.protocol, client, std::to_string(request.internal_port),
                    std::to_string(request.external_port));
  if (found) {
    print_outcome(true, framed_row("| [Duplicate Entry]  -> [ID]: " + three_digits(walk.count) +
                                   "                                    "));
    // Shortened like every shown description: a router's text of any length must not
    // flood the terminal.
    std::string shown = clash.description;
    truncate_description(&shown);
    print_entry_block(shown, clash.protocol, clash.client,
                      port_text(clash.internal_port, clash.internal_port_text),
                      port_text(clash.external_port, clash.external_port_text));
  }
  return end_of(failed);
}

Outcome remove_flow(const RequestRecord& request, const GatewayHandle& gateway) {
  TableWalk walk = walk_from(0, kWalkMax);
  MappingEntry target;
  bool found = false;
  if (!request.quick) {
    // A search cut short by a failure goes on as "not found": the removal stands alone.
    WalkStep step;
    while (!found && ((step = walk_next(&walk, gateway, &target)) == WalkStep::kEntry ||
                      step == WalkStep::kRestarted)) {
      found = step == WalkStep::kEntry && remove_matches(request, target);
    }
  }
  const Error error = gateway_delete_mapping(gateway, request.external_port, request.protocol);
  const bool failed = error != Error::kOk;
  if (request_may_have_arrived(error)) {
    trace(
        "remove: the answer was lost after the request went out: the router may have "
        "removed the entry (-list shows it)");
  }
  if (failed) {
    const Outcome refusal = remove_refusal(request.quick, found);
    print_status_box(refusal.status, refusal.message);
  }
  print_outcome(failed, remove_outcome_title(found, failed, walk.count));
  if (found) {
    std::string description = target.description;
    truncate_description(&description);
    print_entry_block(description, target.protocol,
                      !target.client.empty() ? target.client : "0.0.0.0",
                      port_text(target.internal_port, target.internal_port_text),
                      port_text(target.external_port, target.external_port_text));
  } else {
    console_printf("| External Port |  %5d                                             |\n",
                   request.external_port);
    print_rule_line();
  }
  return end_of(failed);
}
