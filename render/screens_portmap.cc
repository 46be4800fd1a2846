#include "render/screens_portmap.h"

#include <cstdio>

#include "base/format.h"
#include "base/protocol.h"
#include "gateway/reach.h"
#include "render/console.h"
#include "render/screens_change.h"

namespace {

void print_mapping_row(const char* label, const std::string& text) {
  console_printf("| %-11s |  %s  %1s\n", label, cell(text, 50).c_str(), "|");
  print_rule_line();
}

std::string address_text(const PortmapResult& result) {
  return result.external_address.empty() ? result.address_row : result.external_address;
}

std::string lifetime_text(const PortmapResult& result) {
  return std::to_string(result.grant.lifetime) + " s granted of " +
         std::to_string(result.lifetime_asked) + " s asked";
}

std::string heading_of(const PortmapResult& result, bool failure) {
  if (std::string(result.command) == "add") {
    return failure ? "| [Entry Not Added]   -   " : "| [Entry Added]   -   ";
  }
  if (std::string(result.command) == "remove") {
    return failure ? "| [Entry Not Removed]   -   " : "| [Entry Removed]   -   ";
  }
  return "| [Statistics]   -   ";
}

void show_stats(const PortmapResult& result) {
  print_mapping_row("Protocol", map_via_title(result.via));
  print_mapping_row("Local IP", result.client);
  print_mapping_row("External IP", address_text(result));
  print_mapping_row("Epoch", result.grant.error == Error::kOk ? std::to_string(result.grant.epoch) +
                                                                    " s since the gateway's start"
                                                              : "not told");
  print_mapping_row("Table", "not told: NAT-PMP and PCP cannot list mappings");
}

/// The rows of an add or a remove under the entry, when it was done.
void show_done(const PortmapResult& result) {
  if (std::string(result.command) == "add") {
    print_mapping_row("External IP", address_text(result));
    print_mapping_row("Lifetime", lifetime_text(result));
    print_mapping_row(
        "Ends", "in " + std::to_string(result.grant.lifetime) + " s unless renewed (-add again)");
  } else if (result.confirmed == Confirmation::kGone) {
    print_mapping_row("Confirmed", "yes: gone from the UPnP table of " + result.gateway);
  } else if (result.confirmed == Confirmation::kCannot) {
    print_mapping_row("Confirmed", "cannot be: NAT-PMP answers success either way,");
    print_mapping_row("", "and no UPnP table at " + result.gateway + " tells");
  }
}

void show_portmap(const PortmapResult& result) {
  const bool failure = result.outcome.status != Status::kSuccess;
  if (failure) print_gateway_failure_box(result.outcome.status, result.via, result.message);
  const std::string title = std::string(map_via_title(result.via)) + " Gateway - Port Mapping";
  if (failure) print_highlight_bar();
  print_boxed_title(framed_row(heading_of(result, failure) + title).c_str());
  if (std::string(result.command) == "stats") {
    show_stats(result);
    return;
  }
  if (result.client.empty()) {
    console_printf("| External Port |  %5d                                             |\n",
                   result.asked_port);
    print_rule_line();
    return;
  }
  print_entry_block(std::string("N/A: ") + map_via_title(result.via) + " carries no description",
                    protocol_name(result.protocol), result.client,
                    std::to_string(result.internal_port), std::to_string(result.external_port));
  if (!failure) show_done(result);
}

}  // namespace

void print_gateway_failure_box(Status status, MapVia via, const std::string& message) {
  print_rule_line();
  console_printf("%s", framed_row("| Status: [" + three_digits(static_cast<int>(status)) + "] - (" +
                                  map_via_title(via) + " Gateway Error)")
                           .c_str());
  print_rule_line();
  print_message_rows(message);
  print_rule_line();
}

void portmap_say_notes(const PortmapResult& result) {
  for (const std::string& note : result.notes) {
    std::fprintf(stderr, "portwrangler: %s\n", note.c_str());
  }
  const std::string note = reach_note(result.reach);
  if (!note.empty()) {
    std::fputs(note.c_str(), stderr);
    std::fflush(stderr);
  }
}

void portmap_show(const PortmapResult& result) {
  portmap_say_notes(result);
  if (std::string(result.command) == "none") {
    print_gateway_failure_box(result.outcome.status, result.via, result.message);
  } else {
    show_portmap(result);
  }
}
