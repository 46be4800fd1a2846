#include "front/change.h"

#include <cstdio>

#include "base/text.h"
#include "front/console.h"
#include "front/status.h"
#include "front/walk.h"
#include "gateway/mapping.h"

namespace {

void print_entry_block(const std::string& description, const char* protocol, const char* client,
                       int internal_port, int external_port) {
  console_printf("| Description |  %s  %1s\n",
                 cell(description.empty() ? "N/A" : description, 50).c_str(), "|");
  print_rule_line();
  console_printf("| Protocol |   Private IP %5s Internal  Port |  External  Port     |\n", "|");
  print_rule_line();
  console_printf("|   %s %s %12d   %16d  %8s\n", text_printable(protocol).c_str(),
                 cell_right(client, 20).c_str(), internal_port, external_port, "|");
  print_rule_line();
}

/// The outcome title between rule lines, under the highlight bar when it tells a failure.
void print_outcome(bool failed, const std::string& title_line) {
  if (failed) print_highlight_bar();
  print_boxed_title(title_line.c_str());
}

[[noreturn]] void end_run(bool failed, RunRecords* records, GatewayHandle** gateway) {
  status_end(failed ? kStatusFailure : kStatusSuccess, records, gateway, failed ? nullptr : "");
}

}  // namespace

int add_clashes(const RequestRecord& request, const EntryRecord& entry) {
  if (!text_equal_ignoring_case(entry.protocol, request.protocol)) return 0;
  if (entry.external_port == request.external_port) return 1;
  return text_equal_ignoring_case(entry.ip_address, request.ip_address) &&
         entry.internal_port == request.internal_port;
}

const char* add_outcome_title(bool failed) {
  return failed ? "| [Entry Not Added]   -   UPnP Router - Port Forwarding              |\n"
                : "| [Entry Added]   -   UPnP Router - Port Forwarding                  |\n";
}

int remove_matches(const RequestRecord& request, const EntryRecord& entry) {
  return entry.external_port == request.external_port &&
         text_equal_ignoring_case(entry.protocol, request.protocol);
}

RemoveRefusal remove_refusal(bool quick, bool found) {
  return {quick ? kStatusRemoveRefusedQuick : kStatusRemoveRefused,
          found ? kMessageRemoveDenied : kMessageRemoveRefused};
}

std::string remove_outcome_title(bool found, bool failed, int id) {
  if (!found) {
    return failed ? "| [Entry Not Removed]   -   UPnP Router - Port Forwarding            |\n"
                  : "| [Entry Removed]   -   UPnP Router - Port Forwarding                |\n";
  }
  char title[80];
  std::snprintf(title, sizeof(title),
                failed
                    ? "| [Entry (%.3d) Not Removed]   -   UPnP Router - Port Forwarding      |\n"
                    : "| [Entry (%.3d) Removed]   -   UPnP Router - Port Forwarding          |\n",
                id);
  return title;
}

void add_flow(RunRecords* records, GatewayHandle** gateway) {
  RequestRecord* request = records->request.get();
  EntryRecord* entry = records->entry.get();
  if (request->quick != 1) {
    TableWalk walk = walk_from(0, kWalkMax);
    while (walk_next(&walk, *gateway, entry)) {
      if (add_clashes(*request, *entry)) {
        request->found = 1;
        break;
      }
    }
  }
  if (request->found == 1) status_exit(kStatusDuplicate, records, gateway, kMessageDuplicate);
  const char* client =
      request->ip_address[0] != '\0' ? request->ip_address : request->local_address.c_str();
  bool failed = request->found == 1;
  if (!failed &&
      gateway_add_mapping(*gateway, client, request->external_port, request->internal_port,
                          request->protocol, request->description) != 0) {
    failed = true;
    status_exit(kStatusAddRefused, records, gateway, kMessageAddRefused);
  }
  truncate_description(&request->description);  // the router has it whole already
  print_outcome(failed, add_outcome_title(failed));
  print_entry_block(request->description, request->protocol, client, request->internal_port,
                    request->external_port);
  if (request->found == 1) {
    char title[80];
    std::snprintf(title, sizeof(title),
                  "| [Duplicate Entry]  -> [ID]: %.3d                                    |\n",
                  entry->entry_count);
    print_outcome(true, title);
    // Shortened like every shown description: a router's text of any length must not
    // flood the terminal.
    truncate_description(&entry->description);
    print_entry_block(entry->description, entry->protocol, entry->ip_address, entry->internal_port,
                      entry->external_port);
  }
  end_run(failed, records, gateway);
}

void remove_flow(RunRecords* records, GatewayHandle** gateway) {
  RequestRecord* request = records->request.get();
  EntryRecord* entry = records->entry.get();
  if (request->quick != 1) {
    TableWalk walk = walk_from(0, kWalkMax);
    while (walk_next(&walk, *gateway, entry)) {
      if (remove_matches(*request, *entry)) {
        entry->found = 1;
        truncate_description(&entry->description);
        break;
      }
    }
  }
  const bool found = entry->found == 1;
  const bool failed =
      gateway_delete_mapping(*gateway, request->external_port, request->protocol) != 0;
  if (failed) {
    RemoveRefusal refusal = remove_refusal(request->quick == 1, found);
    status_exit(refusal.status, records, gateway, refusal.message);
  }
  print_outcome(failed, remove_outcome_title(found, failed, entry->entry_count));
  if (found) {
    print_entry_block(entry->description, entry->protocol,
                      entry->ip_address[0] != '\0' ? entry->ip_address : "0.0.0.0",
                      entry->internal_port, entry->external_port);
  } else {
    console_printf("| External Port |  %5d                                             |\n",
                   request->external_port);
    print_rule_line();
  }
  end_run(failed, records, gateway);
}
