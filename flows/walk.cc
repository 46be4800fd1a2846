#include "flows/walk.h"

#include "base/limits.h"
#include "base/text.h"
#include "base/trace.h"

namespace {

/// Where a pass begins: nothing of it read yet.
void start_pass(TableWalk* walk) {
  walk->next_index = walk->first_index;
  walk->reads_left = walk->limit;
  walk->count = 0;
  walk->seen.clear();
  walk->first_key.clear();
}

/// The table's key of an entry. A port text that is no port is kept as the text, so two
/// such entries stay two.
std::string key_of(const MappingEntry& entry) {
  const std::string port = entry.external_port != 0 ? std::to_string(entry.external_port)
                                                    : "?" + entry.external_port_text;
  return entry.remote_host + '\n' + port + '\n' + text_upper_ascii(entry.protocol);
}

/// Whether the pass's first index still holds its first entry. The read counts as one of
/// the pass; a failed one says the table moved (a shrunken table is read again).
bool first_entry_stays(TableWalk* walk, const GatewayHandle& gateway) {
  MappingEntry again;
  const Error error =
      gateway_mapping_entry(gateway, static_cast<uint16_t>(walk->first_index), &again);
  --walk->reads_left;
  if (error != Error::kOk) {
    trace("walk: index %d unread again: %s", walk->first_index, trace_error(error));
    return false;
  }
  return key_of(again) == walk->first_key;
}

}  // namespace

TableWalk walk_from(int first, int limit) {
  TableWalk walk;
  walk.first_index = first;
  walk.limit = limit < kWalkMax ? limit : kWalkMax;
  walk.restarts_left = kWalkRestartsMax;
  start_pass(&walk);
  return walk;
}

WalkStep walk_next(TableWalk* walk, const GatewayHandle& gateway, MappingEntry* entry) {
  if (walk->reads_left <= 0) return WalkStep::kEnd;
  --walk->reads_left;
  const int index = walk->next_index++;
  MappingEntry read;
  const Error error = gateway_mapping_entry(gateway, static_cast<uint16_t>(index), &read);
  if (error != Error::kOk) {
    walk->reads_left = 0;
    // Only the router's word that the index is past the end ends its table.
    if (error == Error::kGatewayPastEnd) return WalkStep::kEnd;
    trace("walk: index %d unread: %s", index, trace_error(error));
    return WalkStep::kBroken;
  }
  const std::string key = key_of(read);
  if (!walk->seen.insert(key).second) {
    // The first entry right after itself: a router that ignores the index. Further on it
    // may be a router that wraps, or the table shifted on by entries added at its front:
    // the first index read again tells them apart.
    if (key == walk->first_key &&
        (index == walk->first_index + 1 || first_entry_stays(walk, gateway))) {
      walk->reads_left = 0;
      return WalkStep::kEnd;
    }
    if (walk->restarts_left <= 0) {
      walk->reads_left = 0;
      trace("walk: index %d: the table kept changing under the walk", index);
      return WalkStep::kBroken;
    }
    --walk->restarts_left;
    trace("walk: index %d repeats an entry read before: the table changed, read again", index);
    start_pass(walk);
    return WalkStep::kRestarted;
  }
  if (walk->count == 0) walk->first_key = key;
  ++walk->count;
  // A long table is read whole: each entry read moves the run's end on (never one spent).
  gateway.deadline = deadline_later(gateway.deadline, kRunSecondsPerEntry * 1000LL);
  *entry = std::move(read);
  return WalkStep::kEntry;
}
