// The listing flow: the plain list, the search, the entry-ID lookup, and the router
// information and statistics report. It walks the router's table and always ends the
// run (success, or status 54 when no entry could be read). Its rules are plain
// functions of the records, below the flow itself.
#ifndef PORTWRANGLER_FRONT_LISTING_H_
#define PORTWRANGLER_FRONT_LISTING_H_

#include <string>
#include <vector>

#include "front/records.h"
#include "gateway/handle.h"

/// Runs the listing command `code` (9, 16, 84, 440 or a search sum) and ends the run.
[[noreturn]] void listing_flow(int code, RunRecords* records, GatewayHandle** gateway);

/// 1 when the request sets a filter field (an ID, a protocol or address of more than one
/// character, a port, a status): the search box is shown then; else 0.
int listing_filter_set(const RequestRecord& request);

/// 1 when the entry passes every filter the request sets, else 0. Protocol and address
/// are compared ignoring letter case; an entry without a client is listed as 0.0.0.0.
int listing_passes_filter(const RequestRecord& request, const EntryRecord& entry);

/// The counts of the statistics box.
struct ListingStatistics {
  int tcp = 0;
  int udp = 0;
  int tcp_enabled = 0;
  int udp_enabled = 0;
  int enabled = 0;
};

/// Counts `entry` in: a protocol other than TCP (in any letter case) counts as UDP.
void listing_count(const EntryRecord& entry, ListingStatistics* stats);

/// One row of the search box: its label and the value as shown.
struct SearchRow {
  const char* label;
  std::string value;
};

/// The rows of the search box for the request's filter fields, in their order; none
/// without a filter. The ID row shows `entry_id` + 1 with three digits: by the time the
/// box is shown, the flow holds the 0-based index there. The status shows as Enabled or
/// Disabled.
std::vector<SearchRow> listing_search_rows(const RequestRecord& request);

#endif  // PORTWRANGLER_FRONT_LISTING_H_
