// The walk of the router's table, entry by entry: the listing, the clash check before
// an add and the search before a removal all read the table through it, and its stop
// rules are written here alone. A caller loops on walk_next and does with each entry
// what its flow does.
#ifndef PORTWRANGLER_FRONT_WALK_H_
#define PORTWRANGLER_FRONT_WALK_H_

#include <cstdint>
#include <set>
#include <string>
#include <tuple>

#include "gateway/handle.h"
#include "gateway/mapping.h"

/// Where a walk stands.
struct TableWalk {
  int next_index = 0;  // the 0-based index of the next read
  int reads_left = 0;
  int count = 0;  // entries read so far: the ID of the last one in a walk from 0
  // The entries read so far, by the table's key: remote host, external port and
  // upper-cased protocol. A table never holds the same key twice, so meeting one again
  // means the router does not honour the index (it repeats an entry, or cycles through
  // its table).
  std::set<std::tuple<std::string, uint16_t, std::string>> seen;
};

/// What one step of a walk found.
enum class WalkStep {
  kEntry,   // an entry, counted
  kEnd,     // the table is over: the router refused the index (its answer to one past the
            // end), handed back an entry read before in this walk, or the reads are used up
  kBroken,  // a read failed in transport after its tries, or came back unreadable: the
            // table goes on past what was read, so what was read is not all of it
};

/// A walk that reads from the 0-based index `first` on, at most `limit` entries.
TableWalk walk_from(int first, int limit);

/// The next entry of the walk in `entry`.
WalkStep walk_next(TableWalk* walk, const GatewayHandle& gateway, MappingEntry* entry);

#endif  // PORTWRANGLER_FRONT_WALK_H_
