// The walk of the router's table, entry by entry: the listing, the clash check before
// an add and the search before a removal all read the table through it, and its stop
// rules are written here alone. A caller loops on walk_next and does with each entry
// what its flow does.
#ifndef PORTWRANGLER_FRONT_WALK_H_
#define PORTWRANGLER_FRONT_WALK_H_

#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "front/records.h"
#include "gateway/handle.h"

/// The most reads of one walk: every 16-bit index once, never wrapping.
constexpr int kWalkMax = 65536;

/// Where a walk stands. Destroy it before the run ends: it owns memory.
struct TableWalk {
  int next_index = 0;
  int reads_left = kWalkMax;
  // The entries read so far, by external port and upper-cased protocol. A table never
  // holds the same pair twice, so meeting one again means the router does not honour
  // the index (it repeats an entry, or cycles through its table).
  std::set<std::pair<uint16_t, std::string>> seen;
};

/// A walk that reads from the 0-based index `first` on, at most `limit` entries.
TableWalk walk_from(int first, int limit);

/// 1 with the next entry in `entry` (its client and description read afresh, so an
/// answer without them shows none of the entry before) and `entry_count` counting it;
/// 0 when the walk is over: a read failed (the table's end looks the same), the entry
/// was read before in this walk, or the reads are used up.
int walk_next(TableWalk* walk, const GatewayHandle* gateway, EntryRecord* entry);

#endif  // PORTWRANGLER_FRONT_WALK_H_
