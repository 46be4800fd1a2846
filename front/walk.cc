#include "front/walk.h"

#include "base/budget.h"
#include "base/limits.h"
#include "base/text.h"

TableWalk walk_from(int first, int limit) {
  TableWalk walk;
  walk.next_index = first;
  walk.reads_left = limit < kWalkMax ? limit : kWalkMax;
  return walk;
}

WalkStep walk_next(TableWalk* walk, const GatewayHandle& gateway, MappingEntry* entry) {
  if (walk->reads_left <= 0) return WalkStep::kEnd;
  --walk->reads_left;
  MappingEntry read;
  const Error error =
      gateway_mapping_entry(gateway, static_cast<uint16_t>(walk->next_index++), &read);
  if (error != Error::kOk) {
    walk->reads_left = 0;
    // Only an answer of the router ends its table; anything else leaves it unread.
    return error == Error::kHttpNotOk ? WalkStep::kEnd : WalkStep::kBroken;
  }
  if (!walk->seen.emplace(read.remote_host, read.external_port, text_upper_ascii(read.protocol))
           .second) {
    walk->reads_left = 0;
    return WalkStep::kEnd;
  }
  ++walk->count;
  run_budget_extend(kRunSecondsPerEntry);
  *entry = std::move(read);
  return WalkStep::kEntry;
}
