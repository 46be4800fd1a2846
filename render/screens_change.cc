#include "render/screens_change.h"

#include <cstdio>

#include "base/text.h"
#include "render/console.h"

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

const char* add_outcome_title(bool failed) {
  return failed ? "| [Entry Not Added]   -   UPnP Router - Port Forwarding              |\n"
                : "| [Entry Added]   -   UPnP Router - Port Forwarding                  |\n";
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

namespace {

/// The outcome title between rule lines, under the highlight bar when it tells a failure.
void print_outcome(bool failed, const std::string& title_line) {
  if (failed) print_highlight_bar();
  print_boxed_title(title_line.c_str());
}

/// The lease of an add made with one: what the router granted, or that it took the
/// entry for good.
void print_lease_row(const AddResult& result) {
  std::string text;
  if (result.permanent) {
    text = "permanent: the router takes no lease";
  } else if (result.lease_read) {
    text = std::to_string(result.granted.lease_seconds) + " s granted of " +
           std::to_string(result.mapping.lease_seconds) + " s asked";
  } else {
    text = std::to_string(result.mapping.lease_seconds) + " s asked; not read back";
  }
  console_printf("| Lease       |  %s  %1s\n", cell(text, 50).c_str(), "|");
  print_rule_line();
}

/// A line on standard error beside the screens, where there is more to tell.
void tell_refusal(const std::string& note) {
  if (note.empty()) return;
  std::fflush(stdout);
  std::fputs(text_printable("portwrangler: " + note).append("\n").c_str(), stderr);
  std::fflush(stderr);
}

/// A router's entry in the block, as `client`; its description shortened like every
/// shown one: a router's text of any length must not flood the terminal.
void print_router_entry(const MappingEntry& entry, const std::string& client) {
  std::string shown = entry.description;
  truncate_description(&shown);
  print_entry_block(shown, entry.protocol, client,
                    port_text(entry.internal_port, entry.internal_port_text),
                    port_text(entry.external_port, entry.external_port_text));
}

}  // namespace

void add_show(const RequestRecord& request, const AddResult& result) {
  const MappingRequest& mapping = result.mapping;
  const bool failed = !result.added();
  if (result.clash) {
    print_status_box(Status::kDuplicate, kMessageDuplicate);
  } else if (result.unknown) {
    print_status_box(Status::kAddUnknown, kMessageAddUnknown);
  } else if (result.error == Error::kGatewayNoAnyPort) {
    print_status_box(Status::kNoAnyPort, kMessageNoAnyPort);
  } else if (failed) {
    print_status_box(Status::kAddRefused, kMessageAddRefused);
  }
  std::string description = result.named ? mapping.description : request.description;
  truncate_description(&description);  // the router has it whole already
  print_outcome(failed, result.unknown ? kUnconfirmedTitle : add_outcome_title(failed));
  // The port the router granted, which --any-port lets differ from the one asked.
  print_entry_block(description, request.protocol, mapping.client,
                    std::to_string(request.internal_port), std::to_string(mapping.external_port));
  if (request.lease_seconds != 0 && !failed) print_lease_row(result);
  if (result.clash) {
    print_outcome(true,
                  framed_row("| [Duplicate Entry]  -> [ID]: " + three_digits(result.clash_id) +
                             "                                    "));
    print_router_entry(result.clash_entry, result.clash_entry.client);
  }
  if (failed) {
    tell_refusal(change_refusal_note(result.error, result.fault, mapping.description, true));
  } else if (result.named) {
    tell_refusal(std::string("the router refused the entry without a description: added as \"") +
                 kNamedDescription + "\"");
  }
}

void remove_show(const RequestRecord& request, const RemoveResult& result) {
  const bool failed = !result.removed();
  if (failed) {
    const Outcome refusal = remove_outcome(request, result);
    print_status_box(refusal.status, refusal.message);
  }
  print_outcome(failed, result.unknown ? kUnconfirmedTitle
                                       : remove_outcome_title(result.found, failed, result.id));
  if (result.found) {
    print_router_entry(result.entry, mapping_client_shown(result.entry));
  } else {
    console_printf("| External Port |  %5d                                             |\n",
                   request.external_port);
    print_rule_line();
  }
  if (failed) tell_refusal(change_refusal_note(result.error, result.fault, "", false));
}
