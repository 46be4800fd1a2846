#include "front/change.h"

#include <cstdio>
#include <cstdlib>

#include "front/console.h"
#include "front/grammar.h"
#include "front/listing.h"
#include "gateway/mapping.h"

namespace {

void print_entry_block(const std::string& description, const char* protocol, const char* client,
                       int internal_port, int external_port) {
  std::printf("| Description |  %s  %1s\n",
              cell(description.empty() ? "N/A" : description, 50).c_str(), "|");
  print_rule_line();
  std::printf("| Protocol |   Private IP %5s Internal  Port |  External  Port     |\n", "|");
  print_rule_line();
  std::printf("|   %s %s %12d   %16d  %8s\n", printable(protocol).c_str(),
              cell_right(client, 20).c_str(), internal_port, external_port, "|");
  print_rule_line();
}

bool clashes(const RequestRecord& request, const EntryRecord& entry) {
  if (!equal_ignoring_case(entry.protocol, request.protocol)) return false;
  if (entry.external_port == request.external_port) return true;
  // Without "-ip" the request's client is empty and matches no entry with a client.
  return equal_ignoring_case(entry.ip_address, request.ip_address) &&
         entry.internal_port == request.internal_port;
}

/// The outcome title between rule lines, under the highlight bar when it tells a failure.
void print_outcome(bool failed, const char* title_line) {
  if (failed) print_highlight_bar();
  print_boxed_title(title_line);
}

[[noreturn]] void end_run(bool failed, RunRecords* records, GatewayHandle** gateway) {
  status_exit(failed ? kStatusFailure : kStatusSuccess, records, gateway, failed ? nullptr : "");
  std::abort();  // neither end returns
}

}  // namespace

void add_flow(RunRecords* records, GatewayHandle** gateway) {
  RequestRecord* request = records->request.get();
  EntryRecord* entry = records->entry.get();
  if (request->quick != 1) {
    WalkSeen seen;
    for (int reads = 0; reads < kWalkMax; ++reads) {
      if (read_entry(*gateway, entry->entry_count, entry) != 0) break;
      if (walk_repeats(&seen, *entry)) break;
      ++entry->entry_count;
      if (clashes(*request, *entry)) {
        request->found = 1;
        status_exit(50, records, gateway, "Add Entry Failure -> Duplicate Entry Found On UPnP Router.");
        break;
      }
    }
  }
  const char* client = request->ip_address[0] != '\0' ? request->ip_address
                                                       : request->local_address.c_str();
  bool failed = request->found == 1;
  if (!failed && gateway_add_mapping(*gateway, client, request->external_port,
                                     request->internal_port, request->protocol,
                                     request->description) != 0) {
    failed = true;
    status_exit(51, records, gateway, "Add Entry Failure -> Invalid Response From UPnP Router.");
  }
  truncate_description(&request->description);  // the router has it whole already
  print_outcome(failed, failed
                            ? "| [Entry Not Added]   -   UPnP Router - Port Forwarding              |\n"
                            : "| [Entry Added]   -   UPnP Router - Port Forwarding                  |\n");
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
    print_entry_block(entry->description, entry->protocol, entry->ip_address,
                      entry->internal_port, entry->external_port);
  }
  end_run(failed, records, gateway);
}

void remove_flow(RunRecords* records, GatewayHandle** gateway) {
  RequestRecord* request = records->request.get();
  EntryRecord* entry = records->entry.get();
  if (request->quick != 1) {
    WalkSeen seen;
    for (int reads = 0; reads < kWalkMax; ++reads) {
      if (read_entry(*gateway, entry->entry_count, entry) != 0) break;
      if (walk_repeats(&seen, *entry)) break;
      ++entry->entry_count;
      if (entry->external_port == request->external_port &&
          equal_ignoring_case(entry->protocol, request->protocol)) {
        entry->found = 1;
        truncate_description(&entry->description);
        break;
      }
    }
  }
  bool failed =
      gateway_delete_mapping(*gateway, request->external_port, request->protocol) != 0;
  if (failed) {
    status_exit(request->quick == 1 ? 52 : 53, records, gateway,
                entry->found == 1 ? "Remove Entry Failure -> Access Denied Response From UPnP Router."
                                  : "Remove Entry Failure -> Invalid Response From UPnP Router.");
  }
  if (entry->found == 1) {
    char title[80];
    std::snprintf(title, sizeof(title),
                  failed ? "| [Entry (%.3d) Not Removed]   -   UPnP Router - Port Forwarding      |\n"
                         : "| [Entry (%.3d) Removed]   -   UPnP Router - Port Forwarding          |\n",
                  entry->entry_count);
    print_outcome(failed, title);
    print_entry_block(entry->description, entry->protocol,
                      entry->ip_address[0] != '\0' ? entry->ip_address : "0.0.0.0",
                      entry->internal_port, entry->external_port);
  } else {
    print_outcome(failed, failed
                              ? "| [Entry Not Removed]   -   UPnP Router - Port Forwarding            |\n"
                              : "| [Entry Removed]   -   UPnP Router - Port Forwarding                |\n");
    std::printf("| External Port |  %5d                                             |\n",
                request->external_port);
    print_rule_line();
  }
  end_run(failed, records, gateway);
}
