// The listing flow: the plain list, the search, the entry-ID lookup, and the router
// information and statistics report. It walks the router's table and returns what it
// read (ListingResult), which the screens and the JSON document show, and how the run
// ends (success, or status 54 when no entry could be read). Its rules are plain
// functions of the request and an entry, below the flow itself.
#ifndef PORTWRANGLER_FLOWS_LISTING_H_
#define PORTWRANGLER_FLOWS_LISTING_H_

#include <string>
#include <vector>

#include "cli/records.h"
#include "cli/status.h"
#include "flows/walk.h"
#include "gateway/device_info.h"
#include "gateway/handle.h"
#include "gateway/mapping.h"

/// Whether a protocol or address of a search counts as given: longer than one character.
bool listing_given(const std::string& text);

/// Whether the listing command `code` (9, 16, 84, 440 or a search sum) filters what it
/// lists: a search, or the lookup of one ID.
bool listing_filtered(int code, const RequestRecord& request);

/// Whether the listing command `code` shows the router's information and statistics.
bool listing_shows_information(int code);

/// Whether the request sets a filter field (an ID, a protocol of more than one character,
/// an address, a port, a status): the search box is shown then.
bool listing_filter_set(const RequestRecord& request);

/// Whether the entry passes every filter the request sets. Protocol and address are
/// compared ignoring letter case, the address in the dotted form it was typed for; an
/// entry without a client is listed as 0.0.0.0.
bool listing_passes_filter(const RequestRecord& request, const MappingEntry& entry);

/// The counts of the statistics box.
struct ListingStatistics {
  int tcp = 0;
  int udp = 0;
  int tcp_enabled = 0;
  int udp_enabled = 0;
  int enabled = 0;
};

/// Counts `entry` in: a protocol other than TCP (in any letter case) counts as UDP.
void listing_count(const MappingEntry& entry, ListingStatistics* stats);

/// An entry a listing shows, with the ID it is shown with.
struct ListedEntry {
  int id;
  MappingEntry entry;
};

/// What the walk of a listing read: the plain result that the screens and the JSON
/// document show.
struct ListingResult {
  std::vector<ListedEntry> shown;  // the entries that pass the filter (none for -stats)
  ListingStatistics stats;         // of every entry read
  int count = 0;                   // entries read
  int match_count = 0;             // entries that passed an applied filter
  WalkStep end = WalkStep::kEnd;   // kBroken: the table goes on past what was read
  DeviceInfo info;                 // read by listing_read_information
};

/// The walk of the listing command `code` for `request`.
ListingResult listing_read(int code, const RequestRecord& request, const GatewayHandle& gateway);

/// Reads the router's identity into `result->info`, for the information the screens of
/// -stats show; texts it cannot read stay empty.
void listing_read_information(const GatewayHandle& gateway, ListingResult* result);

/// How a listing ends a run: status 54 when the table could not be read whole or no
/// entry could be read (an empty table: the run is then done all the same).
Outcome listing_outcome(const RequestRecord& request, const ListingResult& result);

#endif  // PORTWRANGLER_FLOWS_LISTING_H_
