// The listing flow: the plain list, the search, the entry-ID lookup, and the router
// information and statistics report. It walks the router's table entry by entry and
// always ends the run (success, or status 54 when no entry could be read).
#ifndef PORTWRANGLER_FRONT_LISTING_H_
#define PORTWRANGLER_FRONT_LISTING_H_

#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "front/records.h"
#include "gateway/handle.h"

/// The walk reads at most this many entries: every 16-bit index once, never wrapping.
constexpr int kWalkMax = 65536;

/// Runs the listing command `code` (9, 16, 84, 440 or a search sum) and ends the run.
[[noreturn]] void listing_flow(int code, RunRecords* records, GatewayHandle** gateway);

/// The entries one walk has read, by external port and protocol (upper-cased). A table
/// never holds the same pair twice, so meeting one again means the router does not
/// honour the index (it repeats an entry, or cycles through its table).
using WalkSeen = std::set<std::pair<uint16_t, std::string>>;

/// 1 when `entry` was read before in this walk, which ends the walk as the table's end
/// would; else 0, with the entry noted.
int walk_repeats(WalkSeen* seen, const EntryRecord& entry);

/// Reads the entry at `index` into the entry record's fields, its client and description
/// emptied first; 0 when one was read.
int read_entry(const GatewayHandle* gateway, int index, EntryRecord* entry);

#endif  // PORTWRANGLER_FRONT_LISTING_H_
