#include "front/listing.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "front/console.h"
#include "front/grammar.h"
#include "front/status.h"
#include "front/walk.h"
#include "gateway/device_info.h"

namespace {

const char kListTitle[] =
    "| --------------  UPnP Router - Port Forwarding List  -------------- |\n";
const char kListTitleMiss[] =
    "| --------------- UPnP Router - Port Forwarding List --------------- |\n";
const char kColumns[] = "| Protocol |   Private IP %3s [Internal - External] Port |   Status  |\n";
const char kNoResult[] = "|   ---             ---                 ---                   ---    |\n";

/// A protocol or address counts as given when it is longer than one character.
bool given(const char* text) {
  return std::strlen(text) > 1;
}

void print_column_header(const char* title) {
  print_boxed_title(title);
  console_printf(kColumns, "|");
  print_rule_line();
}

void print_entry(int shown_id, EntryRecord* entry) {
  truncate_description(&entry->description);
  console_printf("|   [%.3d]: %s %3s\n", shown_id,
                 cell(entry->description.empty() ? "N/A" : entry->description, 55).c_str(), "|");
  console_printf("|   %s %s %10d - %-9d %15s %2s\n", text_printable(entry->protocol).c_str(),
                 cell_right(entry->ip_address, 20).c_str(), entry->internal_port,
                 entry->external_port, entry->enabled ? "Enabled" : "Disabled", "|");
  print_rule_line();
}

void print_search_box(const RequestRecord& request, const EntryRecord& entry) {
  print_highlight_bar();
  print_boxed_title("| ------------------  UPnP Router - Search Query  ------------------ |\n");
  console_printf("| List By ->       | Input ->                                        |\n");
  print_rule_line();
  for (const SearchRow& row : listing_search_rows(request)) {
    console_printf("| %-16s | %s |\n", row.label, cell(row.value, 47).c_str());
    print_rule_line();
  }
  print_rule_line();
  console_printf("| Found (%.3d) Matching Results.                                      |\n",
                 entry.match_count);
  print_rule_line();
}

/// An information cell: the text, or N/A when the router gave none.
std::string shown(const char* text) {
  return cell(text[0] != '\0' ? text : "N/A", 44);
}

void print_information(const GatewayHandle* gateway, RequestRecord* request,
                       const EntryRecord& entry, const ListingStatistics& stats) {
  DeviceInfoFields fields{request->presentation_url,
                          request->friendly_name,
                          request->manufacturer_url,
                          request->manufacturer,
                          request->model_description,
                          request->model_name,
                          request->upc,
                          request->model_number,
                          request->model_url,
                          request->serial_number};
  (void)gateway_device_info(gateway, fields);  // unread fields print as N/A
  char* const texts[] = {fields.presentation_url,
                         fields.friendly_name,
                         fields.manufacturer_url,
                         fields.manufacturer,
                         fields.model_description,
                         fields.model_name,
                         fields.upc,
                         fields.model_number,
                         fields.model_url,
                         fields.serial_number};
  for (char* text : texts) truncate_info(text);

  print_boxed_title("| -------------------  UPnP Router - Information ------------------- |\n");
  console_printf("| Manufacturer:         %s |\n", shown(request->manufacturer).c_str());
  console_printf("| Model Name:           %s |\n", shown(request->model_name).c_str());
  console_printf("| Model Description:    %s |\n", shown(request->model_description).c_str());
  console_printf("| Model Number:         %s |\n", shown(request->model_number).c_str());
  console_printf("| Manufacturer URL:     %s |\n", shown(request->manufacturer_url).c_str());
  console_printf("| Model URL:            %s |\n", shown(request->model_url).c_str());
  console_printf("| Presentation URL:     %s |\n", shown(request->presentation_url).c_str());
  console_printf("| Friendly Name:        %s |\n", shown(request->friendly_name).c_str());
  console_printf("| Serial Number:        %s |\n", shown(request->serial_number).c_str());
  console_printf("| UPC:                  %s |\n", shown(request->upc).c_str());

  print_boxed_title("| ---------------  UPnP Router - Network Information --------------- |\n");
  console_printf("| Internal IP: %15s %39s\n", request->local_address.c_str(), "|");
  console_printf("| External IP: %s %39s\n", cell_right(request->external_address, 15).c_str(),
                 "|");
  print_rule_line();

  if (entry.entry_count < 1) return;
  console_printf("| ------------ UPnP Router - Port Forwarding Statistics ------------ |\n");
  print_rule_line();
  console_printf("|  TCP  |  UDP  | TCP [Enabled/Disabled]  |  UDP [Enabled/Disabled]  |\n");
  print_rule_line();
  console_printf("|  %.3d  |  %.3d  |          %.3d/%.3d        |           %.3d/%.3d        |\n",
                 stats.tcp, stats.udp, stats.tcp_enabled, stats.tcp - stats.tcp_enabled,
                 stats.udp_enabled, stats.udp - stats.udp_enabled);
  print_rule_line();
  console_printf("|  Entry Count  |         Enabled         |         Disabled         |\n");
  print_rule_line();
  console_printf("|     %.3d       |           %.3d           |            %.3d           |\n",
                 entry.entry_count, stats.enabled, entry.entry_count - stats.enabled);
  print_rule_line();
}

}  // namespace

int listing_filter_set(const RequestRecord& request) {
  return request.entry_id != -1 || given(request.protocol) || given(request.ip_address) ||
         request.internal_port != 0 || request.external_port != 0 || request.enabled != -1;
}

int listing_passes_filter(const RequestRecord& request, const EntryRecord& entry) {
  const char* client = entry.ip_address[0] != '\0' ? entry.ip_address : "0.0.0.0";
  if (given(request.protocol) && !text_equal_ignoring_case(request.protocol, entry.protocol)) {
    return 0;
  }
  if (given(request.ip_address) && !text_equal_ignoring_case(request.ip_address, client)) return 0;
  if (request.internal_port != 0 && request.internal_port != entry.internal_port) return 0;
  if (request.external_port != 0 && request.external_port != entry.external_port) return 0;
  if (request.enabled != -1 && request.enabled != entry.enabled) return 0;
  return 1;
}

void listing_count(const EntryRecord& entry, ListingStatistics* stats) {
  const bool on = entry.enabled != 0;
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
    std::snprintf(id, sizeof(id), "%.3d", request.entry_id + 1);
    rows.push_back({"ID #", id});
  }
  if (given(request.protocol)) rows.push_back({"Protocol", request.protocol});
  if (given(request.ip_address)) rows.push_back({"IP Address", request.ip_address});
  if (request.internal_port != 0) {
    rows.push_back({"Internal Port", std::to_string(request.internal_port)});
  }
  if (request.external_port != 0) {
    rows.push_back({"External Port", std::to_string(request.external_port)});
  }
  if (request.enabled != -1)
    rows.push_back({"Status", request.enabled == 1 ? "Enabled" : "Disabled"});
  return rows;
}

void listing_flow(int code, RunRecords* records, GatewayHandle** gateway) {
  RequestRecord* request = records->request.get();
  EntryRecord* entry = records->entry.get();
  const bool filter = code >= kFilteredListingMin || request->entry_id != -1;
  const bool by_id = request->entry_id != -1;
  if (by_id) --request->entry_id;  // the 0-based index from here on
  ListingStatistics stats;
  {
    // Scoped: the run ends by exit(), and nothing of the walk may outlive it unfreed.
    TableWalk walk = by_id ? walk_from(request->entry_id, 1) : walk_from(0, kWalkMax);
    while (walk_next(&walk, *gateway, entry)) {
      if (entry->ip_address[0] == '\0') std::strcpy(entry->ip_address, "0.0.0.0");
      if (code != kStats) {
        if (entry->entry_count == 1) print_column_header(kListTitle);
        if (!filter || listing_passes_filter(*request, *entry)) {
          if (filter) ++entry->match_count;
          print_entry(by_id ? request->entry_id + 1 : entry->entry_count, entry);
        }
      }
      listing_count(*entry, &stats);
    }
  }

  if (entry->entry_count == 0 && !by_id) {
    status_end(kStatusEnumerateFailed, records, gateway, kMessageEnumerateFailed);
  }
  if (filter && entry->match_count == 0) {
    if (by_id && entry->entry_count == 0) print_column_header(kListTitleMiss);
    console_printf("%s", kNoResult);
    print_rule_line();
  }
  if (listing_filter_set(*request)) print_search_box(*request, *entry);
  if (code == kListStats || code == kStats) {
    if (code == kListStats && entry->entry_count >= 1) print_highlight_bar();
    print_information(*gateway, request, *entry, stats);
  }
  status_end(kStatusSuccess, records, gateway, "");
}
