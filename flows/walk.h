// The walk of the router's table, entry by entry: the listing, the clash check before
// an add and the search before a removal all read the table through it, and its stop
// rules are written here alone. A caller loops on walk_next and does with each entry
// what its flow does.
#ifndef PORTWRANGLER_FLOWS_WALK_H_
#define PORTWRANGLER_FLOWS_WALK_H_

#include <set>
#include <string>

#include "gateway/handle.h"
#include "gateway/mapping.h"

/// Where a walk stands.
struct TableWalk {
  int first_index = 0;  // where each pass starts
  int limit = 0;        // reads of one pass at most
  int next_index = 0;   // the 0-based index of the next read
  int reads_left = 0;
  int count = 0;  // entries of this pass so far: the ID of the last one in a walk from 0
  int restarts_left = 0;
  // The entries of this pass, by the table's key (remote host, external port, protocol
  // upper-cased), and the first of them. A table never holds one key twice, so meeting
  // one again means the router does not honour the index, or the table moved.
  std::set<std::string> seen;
  std::string first_key;
};

/// What one step of a walk found.
enum class WalkStep {
  kEntry,      // an entry, counted
  kEnd,        // the table is over: the router said the index is past its end, handed back
               // the pass's first entry again at the next index (it ignores the index) or
               // later while the first index still holds it (it wraps), or the reads are
               // used up
  kRestarted,  // the table changed under the walk (an entry came back again: entries added
               // at the front pushed the rest on); what this pass read is void, and the
               // next step reads from the first index again
  kBroken,     // a read failed after its tries, or the table kept changing: it goes on
               // past what was read, so what was read is not all of it
};

/// A walk that reads from the 0-based index `first` on, at most `limit` entries a pass.
TableWalk walk_from(int first, int limit);

/// The next entry of the walk in `entry`.
WalkStep walk_next(TableWalk* walk, const GatewayHandle& gateway, MappingEntry* entry);

#endif  // PORTWRANGLER_FLOWS_WALK_H_
