#include "flows/listing.h"

#include <cstdio>

#include "base/limits.h"
#include "base/text.h"
#include "cli/grammar.h"
#include "flows/walk.h"
#include "gateway/device_info.h"
#include "render/console.h"

namespace {

const char kListTitle[] =
    "| --------------  UPnP Router - Port Forwarding List  -------------- |\n";
const char kListTitleMiss[] =
    "| --------------- UPnP Router - Port Forwarding List --------------- |\n";
const char kColumns[] = "| Protocol |   Private IP %3s [Internal - External] Port |   Status  |\n";
const char kNoResult[] = "|   ---             ---                 ---                   ---    |\n";

/// A protocol or address counts as given when it is longer than one character.
bool given(const std::string& text) {
  return text.size() > 1;
}

/// The client an entry is listed and filtered with.
std::string shown_client(const MappingEntry& entry) {
  return entry.client.empty() ? "0.0.0.0" : entry.client;
}

void print_column_header(const char* title) {
  print_boxed_title(title);
  console_printf(kColumns, "|");
  print_rule_line();
}

/// The status column: a text that says neither as the router wrote it.
std::string enabled_shown(const MappingEntry& entry) {
  if (entry.enabled == -1) return fixed_cell_right(entry.enabled_text, 15);
  return entry.enabled ? "Enabled" : "Disabled";
}

void print_entry(int shown_id, const MappingEntry& entry) {
  std::string description = entry.description;
  truncate_description(&description);
  // An ID past 999 takes its extra digits from the description's cell.
  const std::string id = three_digits(shown_id);
  console_printf("|   [%s]: %s %3s\n", id.c_str(),
                 cell(description.empty() ? "N/A" : description, 58 - id.size()).c_str(), "|");
  console_printf(
      "|   %s %s %s - %s %15s %2s\n", fixed_cell(entry.protocol, 3).c_str(),
      fixed_cell_right(shown_client(entry), 20).c_str(),
      fixed_cell_right(port_text(entry.internal_port, entry.internal_port_text), 10).c_str(),
      fixed_cell(port_text(entry.external_port, entry.external_port_text), 9).c_str(),
      enabled_shown(entry).c_str(), "|");
  print_rule_line();
}

void print_search_box(const RequestRecord& request, int match_count) {
  print_highlight_bar();
  print_boxed_title("| ------------------  UPnP Router - Search Query  ------------------ |\n");
  console_printf("| List By ->       | Input ->                                        |\n");
  print_rule_line();
  for (const SearchRow& row : listing_search_rows(request)) {
    console_printf("| %-16s | %s |\n", row.label, cell(row.value, 47).c_str());
    print_rule_line();
  }
  print_rule_line();
  console_printf("%s", framed_row("| Found (" + three_digits(match_count) +
                                  ") Matching Results.                                      ")
                           .c_str());
  print_rule_line();
}

/// An information cell: the text shortened, or N/A when the router gave none.
std::string shown(std::string text) {
  truncate_info(&text);
  return cell(!text.empty() ? text : "N/A", 44);
}

void print_information(const GatewayHandle& gateway, const RequestRecord& request, int entry_count,
                       const ListingStatistics& stats) {
  DeviceInfo info;
  (void)gateway_device_info(gateway, &info);  // unread texts print as N/A
  print_boxed_title("| -------------------  UPnP Router - Information ------------------- |\n");
  console_printf("| Manufacturer:         %s |\n", shown(info.manufacturer).c_str());
  console_printf("| Model Name:           %s |\n", shown(info.model_name).c_str());
  console_printf("| Model Description:    %s |\n", shown(info.model_description).c_str());
  console_printf("| Model Number:         %s |\n", shown(info.model_number).c_str());
  console_printf("| Manufacturer URL:     %s |\n", shown(info.manufacturer_url).c_str());
  console_printf("| Model URL:            %s |\n", shown(info.model_url).c_str());
  console_printf("| Presentation URL:     %s |\n", shown(info.presentation_url).c_str());
  console_printf("| Friendly Name:        %s |\n", shown(info.friendly_name).c_str());
  console_printf("| Serial Number:        %s |\n", shown(info.serial_number).c_str());
  console_printf("| UPC:                  %s |\n", shown(info.upc).c_str());

  print_boxed_title("| ---------------  UPnP Router - Network Information --------------- |\n");
  console_printf("| Internal IP: %s %39s\n", fixed_cell_right(request.local_address, 15).c_str(),
                 "|");
  console_printf("| External IP: %s %39s\n", fixed_cell_right(request.external_address, 15).c_str(),
                 "|");
  print_rule_line();

  if (entry_count < 1) return;
  console_printf("| ------------ UPnP Router - Port Forwarding Statistics ------------ |\n");
  print_rule_line();
  console_printf("|  TCP  |  UDP  | TCP [Enabled/Disabled]  |  UDP [Enabled/Disabled]  |\n");
  print_rule_line();
  // Counts past 999 take their extra digits from the blanks beside them.
  const std::string tcp_split =
      three_digits(stats.tcp_enabled) + "/" + three_digits(stats.tcp - stats.tcp_enabled);
  const std::string udp_split =
      three_digits(stats.udp_enabled) + "/" + three_digits(stats.udp - stats.udp_enabled);
  console_printf("|%s|%s|%s|%s|\n", number_cell(three_digits(stats.tcp), 2, 7).c_str(),
                 number_cell(three_digits(stats.udp), 2, 7).c_str(),
                 number_cell(tcp_split, 10, 25).c_str(), number_cell(udp_split, 11, 26).c_str());
  print_rule_line();
  console_printf("|  Entry Count  |         Enabled         |         Disabled         |\n");
  print_rule_line();
  console_printf("|%s|%s|%s|\n", number_cell(three_digits(entry_count), 5, 15).c_str(),
                 number_cell(three_digits(stats.enabled), 11, 25).c_str(),
                 number_cell(three_digits(entry_count - stats.enabled), 12, 26).c_str());
  print_rule_line();
}

}  // namespace

bool listing_filter_set(const RequestRecord& request) {
  return request.entry_id != -1 || given(request.protocol) || !request.ip_address.empty() ||
         request.internal_port != 0 || request.external_port != 0 || request.enabled != -1;
}

bool listing_passes_filter(const RequestRecord& request, const MappingEntry& entry) {
  if (given(request.protocol) && !text_equal_ignoring_case(request.protocol, entry.protocol)) {
    return false;
  }
  if (!request.ip_address.empty() &&
      !text_equal_ignoring_case(address_meant(request.ip_address), shown_client(entry))) {
    return false;
  }
  if (request.internal_port != 0 && request.internal_port != entry.internal_port) return false;
  if (request.external_port != 0 && request.external_port != entry.external_port) return false;
  return request.enabled == -1 || request.enabled == entry.enabled;
}

void listing_count(const MappingEntry& entry, ListingStatistics* stats) {
  const bool on = entry.enabled == 1;  // an unknown status counts as not enabled
  if (text_equal_ignoring_case(entry.protocol, "TCP")) {
    ++stats->tcp;
    if (on) ++stats->tcp_enabled;
  } else {
    ++stats->udp;
    if (on) ++stats->udp_enabled;
  }
  if (on) ++stats->enabled;
}

std::vector<SearchRow> listing_search_rows(const RequestRecord& request) {
  std::vector<SearchRow> rows;
  if (request.entry_id != -1) {
    char id[16];
    std::snprintf(id, sizeof(id), "%.3d", request.entry_id);
    rows.push_back({"ID #", id});
  }
  if (given(request.protocol)) rows.push_back({"Protocol", request.protocol});
  // The address as typed: the box echoes the input.
  if (!request.ip_address.empty()) rows.push_back({"IP Address", request.ip_address});
  if (request.internal_port != 0) {
    rows.push_back({"Internal Port", std::to_string(request.internal_port)});
  }
  if (request.external_port != 0) {
    rows.push_back({"External Port", std::to_string(request.external_port)});
  }
  if (request.enabled != -1) {
    rows.push_back({"Status", request.enabled == 1 ? "Enabled" : "Disabled"});
  }
  return rows;
}

ListingResult listing_read(int code, const RequestRecord& request, const GatewayHandle& gateway) {
  const bool by_id = request.entry_id != -1;
  const bool filter = code >= kFilteredListingMin || by_id;
  ListingResult result;
  // An ID reads one entry, at its 0-based index.
  TableWalk walk = by_id ? walk_from(request.entry_id - 1, 1) : walk_from(0, kWalkMax);
  // The pass is read whole before any of it is shown: a pass that the table's change
  // voids is read again, and only one whole pass is ever listed. A description is kept
  // to what an add may send, so a long table of long texts stays small.
  MappingEntry entry;
  while ((result.end = walk_next(&walk, gateway, &entry)) == WalkStep::kEntry ||
         result.end == WalkStep::kRestarted) {
    if (result.end == WalkStep::kRestarted) {
      result = ListingResult();
      continue;
    }
    entry.description = text_cut(entry.description, kDescriptionMax);
    ++result.count;
    listing_count(entry, &result.stats);
    if (code != kStats && (!filter || listing_passes_filter(request, entry))) {
      if (filter) ++result.match_count;
      result.shown.push_back({by_id ? request.entry_id : result.count, std::move(entry)});
    }
  }
  return result;
}

Outcome listing_outcome(const RequestRecord& request, const ListingResult& result) {
  // A table read in part is never shown as whole: what was read stands, then the failure.
  if (result.end == WalkStep::kBroken) {
    return {Status::kEnumerateFailed, kMessageEnumerateFailed, ExitStatus::kIncomplete};
  }
  if (result.count == 0 && request.entry_id == -1) {
    return {Status::kEnumerateFailed, kMessageEnumerateFailed, ExitStatus::kDone};
  }
  return {Status::kSuccess, ""};
}

Outcome listing_flow(int code, const RequestRecord& request, const GatewayHandle& gateway) {
  const bool by_id = request.entry_id != -1;
  const bool filter = code >= kFilteredListingMin || by_id;
  const ListingResult result = listing_read(code, request, gateway);
  if (result.count >= 1 && code != kStats) print_column_header(kListTitle);
  for (const ListedEntry& listed : result.shown) print_entry(listed.id, listed.entry);

  const Outcome outcome = listing_outcome(request, result);
  if (outcome.status != Status::kSuccess) return outcome;
  if (filter && result.match_count == 0) {
    if (by_id && result.count == 0) print_column_header(kListTitleMiss);
    console_printf("%s", kNoResult);
    print_rule_line();
  }
  if (listing_filter_set(request)) print_search_box(request, result.match_count);
  if (code == kListStats || code == kStats) {
    if (code == kListStats && result.count >= 1) print_highlight_bar();
    print_information(gateway, request, result.count, result.stats);
  }
  return outcome;
}
