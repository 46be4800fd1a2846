#include "front/listing.h"

#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "front/console.h"
#include "front/grammar.h"
#include "gateway/device_info.h"
#include "gateway/mapping.h"

namespace {

const char kListTitle[] = "| --------------  UPnP Router - Port Forwarding List  -------------- |\n";
const char kListTitleMiss[] = "| --------------- UPnP Router - Port Forwarding List --------------- |\n";
const char kColumns[] = "| Protocol |   Private IP %3s [Internal - External] Port |   Status  |\n";
const char kNoResult[] = "|   ---             ---                 ---                   ---    |\n";

struct Statistics {
  int tcp = 0;
  int udp = 0;
  int tcp_enabled = 0;
  int udp_enabled = 0;
  int enabled = 0;
};

bool given(const char* text) { return std::strlen(text) > 1; }

bool filter_field_set(const RequestRecord& request) {
  return request.entry_id != -1 || given(request.protocol) || given(request.ip_address) ||
         request.internal_port != 0 || request.external_port != 0 || request.enabled != -1;
}

/// The filter's tests in their order; the first that fails rejects the entry.
bool passes_filter(const RequestRecord& request, const EntryRecord& entry) {
  if (given(request.protocol) && !equal_ignoring_case(request.protocol, entry.protocol)) return false;
  if (given(request.ip_address) && !equal_ignoring_case(request.ip_address, entry.ip_address)) {
    return false;
  }
  if (request.internal_port != 0 && request.internal_port != entry.internal_port) return false;
  if (request.external_port != 0 && request.external_port != entry.external_port) return false;
  if (request.enabled != -1 && request.enabled != entry.enabled) return false;
  return true;
}

void print_column_header(const char* title) {
  print_boxed_title(title);
  std::printf(kColumns, "|");
  print_rule_line();
}

void print_entry(int shown_id, EntryRecord* entry) {
  truncate_description(&entry->description);
  std::printf("|   [%.3d]: %s %3s\n", shown_id,
              cell(entry->description.empty() ? "N/A" : entry->description, 55).c_str(), "|");
  std::printf("|   %s %s %10d - %-9d %15s %2s\n", printable(entry->protocol).c_str(),
              cell_right(entry->ip_address, 20).c_str(), entry->internal_port,
              entry->external_port, entry->enabled ? "Enabled" : "Disabled", "|");
  print_rule_line();
}

void count_entry(const EntryRecord& entry, Statistics* stats) {
  bool on = entry.enabled != 0;
  if (equal_ignoring_case(entry.protocol, "TCP")) {
    ++stats->tcp;
    if (on) ++stats->tcp_enabled;
  } else {
    ++stats->udp;  // anything that is not TCP counts here
    if (on) ++stats->udp_enabled;
  }
  if (on) ++stats->enabled;
}

void print_search_box(const RequestRecord& request, const EntryRecord& entry) {
  print_highlight_bar();
  print_boxed_title("| ------------------  UPnP Router - Search Query  ------------------ |\n");
  std::printf("| List By ->       | Input ->                                        |\n");
  print_rule_line();
  if (request.entry_id != -1) {
    std::printf("| ID #             | %-47.3d |\n", request.entry_id + 1);
    print_rule_line();
  }
  if (given(request.protocol)) {
    std::printf("| Protocol         | %s |\n", cell(request.protocol, 47).c_str());
    print_rule_line();
  }
  if (given(request.ip_address)) {
    std::printf("| IP Address       | %s |\n", cell(request.ip_address, 47).c_str());
    print_rule_line();
  }
  if (request.internal_port != 0) {
    std::printf("| Internal Port    | %-47d |\n", request.internal_port);
    print_rule_line();
  }
  if (request.external_port != 0) {
    std::printf("| External Port    | %-47d |\n", request.external_port);
    print_rule_line();
  }
  if (request.enabled != -1) {
    std::printf("| Status           | %-47s |\n", request.enabled == 1 ? "Enabled" : "Disabled");
    print_rule_line();
  }
  print_rule_line();
  std::printf("| Found (%.3d) Matching Results.                                      |\n",
              entry.match_count);
  print_rule_line();
}

/// An information cell: the text, or N/A when the router gave none.
std::string shown(const char* text) { return cell(text[0] != '\0' ? text : "N/A", 44); }

void print_information(const GatewayHandle* gateway, RequestRecord* request,
                       const EntryRecord& entry, const Statistics& stats) {
  DeviceInfoFields fields{request->presentation_url,  request->friendly_name,
                          request->manufacturer_url,  request->manufacturer,
                          request->model_description, request->model_name,
                          request->upc,               request->model_number,
                          request->model_url,         request->serial_number};
  (void)gateway_device_info(gateway, fields);  // unread fields print as N/A
  char* const texts[] = {fields.presentation_url,  fields.friendly_name, fields.manufacturer_url,
                         fields.manufacturer,      fields.model_description, fields.model_name,
                         fields.upc,               fields.model_number,  fields.model_url,
                         fields.serial_number};
  for (char* text : texts) truncate_info(text);

  print_boxed_title("| -------------------  UPnP Router - Information ------------------- |\n");
  std::printf("| Manufacturer:         %s |\n", shown(request->manufacturer).c_str());
  std::printf("| Model Name:           %s |\n", shown(request->model_name).c_str());
  std::printf("| Model Description:    %s |\n", shown(request->model_description).c_str());
  std::printf("| Model Number:         %s |\n", shown(request->model_number).c_str());
  std::printf("| Manufacturer URL:     %s |\n", shown(request->manufacturer_url).c_str());
  std::printf("| Model URL:            %s |\n", shown(request->model_url).c_str());
  std::printf("| Presentation URL:     %s |\n", shown(request->presentation_url).c_str());
  std::printf("| Friendly Name:        %s |\n", shown(request->friendly_name).c_str());
  std::printf("| Serial Number:        %s |\n", shown(request->serial_number).c_str());
  std::printf("| UPC:                  %s |\n", shown(request->upc).c_str());

  print_boxed_title("| ---------------  UPnP Router - Network Information --------------- |\n");
  std::printf("| Internal IP: %15s %39s\n", request->local_address.c_str(), "|");
  std::printf("| External IP: %s %39s\n", cell_right(request->external_address, 15).c_str(), "|");
  print_rule_line();

  if (entry.entry_count < 1) return;
  std::printf("| ------------ UPnP Router - Port Forwarding Statistics ------------ |\n");
  print_rule_line();
  std::printf("|  TCP  |  UDP  | TCP [Enabled/Disabled]  |  UDP [Enabled/Disabled]  |\n");
  print_rule_line();
  std::printf("|  %.3d  |  %.3d  |          %.3d/%.3d        |           %.3d/%.3d        |\n",
              stats.tcp, stats.udp, stats.tcp_enabled, stats.tcp - stats.tcp_enabled,
              stats.udp_enabled, stats.udp - stats.udp_enabled);
  print_rule_line();
  std::printf("|  Entry Count  |         Enabled         |         Disabled         |\n");
  print_rule_line();
  std::printf("|     %.3d       |           %.3d           |            %.3d           |\n",
              entry.entry_count, stats.enabled, entry.entry_count - stats.enabled);
  print_rule_line();
}

}  // namespace

int read_entry(const GatewayHandle* gateway, int index, EntryRecord* entry) {
  // An answer without a client or description must not show the previous entry's.
  entry->ip_address[0] = '\0';
  entry->description.clear();
  MappingEntryFields fields{&entry->external_port, &entry->internal_port,
                            entry->protocol,       sizeof(entry->protocol),
                            entry->ip_address,     sizeof(entry->ip_address),
                            &entry->description,   &entry->enabled};
  return gateway_mapping_entry(gateway, static_cast<uint16_t>(index), fields);
}

int walk_repeats(WalkSeen* seen, const EntryRecord& entry) {
  std::string protocol = entry.protocol;
  for (char& c : protocol) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return seen->emplace(entry.external_port, protocol).second ? 0 : 1;
}

void listing_flow(int code, RunRecords* records, GatewayHandle** gateway) {
  RequestRecord* request = records->request.get();
  EntryRecord* entry = records->entry.get();
  const bool filter = code >= kFilteredListingMin || request->entry_id != -1;
  Statistics stats;
  {
    // Scoped: the run ends by exit(), and nothing of the walk may outlive it unfreed.
    WalkSeen seen;
    for (int reads = 0; reads < kWalkMax; ++reads) {
      int index = entry->entry_count;
      if (request->entry_id != -1) index = --request->entry_id;
      if (read_entry(*gateway, index, entry) != 0) break;
      if (walk_repeats(&seen, *entry)) break;
      ++entry->entry_count;
      if (entry->ip_address[0] == '\0') std::strcpy(entry->ip_address, "0.0.0.0");
      if (entry->entry_count == 1 && code != kStats) print_column_header(kListTitle);
      if (code != kStats) {
        if (!filter || passes_filter(*request, *entry)) {
          if (filter) ++entry->match_count;
          print_entry(request->entry_id == -1 ? entry->entry_count : request->entry_id + 1, entry);
        }
      }
      count_entry(*entry, &stats);
      if (request->entry_id != -1) break;  // the ID form makes exactly one read
    }
  }

  if (entry->entry_count == 0 && request->entry_id == -1) {
    status_exit(54, records, gateway, "Enumerate Failure -> Invalid Response From UPnP Router.");
  }
  if (filter && entry->match_count == 0) {
    if (request->entry_id != -1 && entry->entry_count == 0) print_column_header(kListTitleMiss);
    std::printf("%s", kNoResult);
    print_rule_line();
  }
  if (filter_field_set(*request)) print_search_box(*request, *entry);
  if (code == kListStats || code == kStats) {
    if (code == kListStats && entry->entry_count >= 1) print_highlight_bar();
    print_information(*gateway, request, *entry, stats);
  }
  status_exit(kStatusSuccess, records, gateway, "");
  std::abort();  // status_exit does not return for the success end
}
