#include "render/screens_listing.h"

#include <cstdio>

#include "cli/grammar.h"
#include "gateway/device_info.h"
#include "render/console.h"

namespace {

const char kListTitle[] =
    "| --------------  UPnP Router - Port Forwarding List  -------------- |\n";
const char kListTitleMiss[] =
    "| --------------- UPnP Router - Port Forwarding List --------------- |\n";
const char kColumns[] = "| Protocol |   Private IP %3s [Internal - External] Port |   Status  |\n";
const char kNoResult[] = "|   ---             ---                 ---                   ---    |\n";

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
      fixed_cell_right(mapping_client_shown(entry), 20).c_str(),
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

void print_device_info(const DeviceInfo& info) {
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
}

void print_statistics(int entry_count, const ListingStatistics& stats) {
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

void print_information(const RequestRecord& request, const ListingResult& result) {
  print_device_info(result.info);
  print_boxed_title("| ---------------  UPnP Router - Network Information --------------- |\n");
  console_printf("| Internal IP: %s %39s\n", fixed_cell_right(request.local_address, 15).c_str(),
                 "|");
  console_printf("| External IP: %s %39s\n", fixed_cell_right(request.external_address, 15).c_str(),
                 "|");
  print_rule_line();
  if (result.count >= 1) print_statistics(result.count, result.stats);
}

}  // namespace

std::vector<SearchRow> listing_search_rows(const RequestRecord& request) {
  std::vector<SearchRow> rows;
  if (request.entry_id != -1) {
    char id[16];
    std::snprintf(id, sizeof(id), "%.3d", request.entry_id);
    rows.push_back({"ID #", id});
  }
  if (listing_given(request.protocol)) rows.push_back({"Protocol", request.protocol});
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

void listing_show(int code, const RequestRecord& request, const ListingResult& result,
                  const Outcome& outcome) {
  const bool by_id = request.entry_id != -1;
  if (result.count >= 1 && code != kStats) print_column_header(kListTitle);
  for (const ListedEntry& listed : result.shown) print_entry(listed.id, listed.entry);
  if (outcome.status != Status::kSuccess) return;
  if (listing_filtered(code, request) && result.match_count == 0) {
    if (by_id && result.count == 0) print_column_header(kListTitleMiss);
    console_printf("%s", kNoResult);
    print_rule_line();
  }
  if (listing_filter_set(request)) print_search_box(request, result.match_count);
  if (listing_shows_information(code)) {
    if (code == kListStats && result.count >= 1) print_highlight_bar();
    print_information(request, result);
  }
}
