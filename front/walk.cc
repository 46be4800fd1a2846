#include "front/walk.h"

#include "gateway/mapping.h"

TableWalk walk_from(int first, int limit) {
  TableWalk walk;
  walk.next_index = first;
  walk.reads_left = limit < kWalkMax ? limit : kWalkMax;
  return walk;
}

int walk_next(TableWalk* walk, const GatewayHandle* gateway, EntryRecord* entry) {
  if (walk->reads_left <= 0) return 0;
  --walk->reads_left;
  entry->ip_address[0] = '\0';
  entry->description.clear();
  MappingEntryFields fields{&entry->external_port, &entry->internal_port,
                            entry->protocol,       sizeof(entry->protocol),
                            entry->ip_address,     sizeof(entry->ip_address),
                            &entry->description,   &entry->enabled};
  if (gateway_mapping_entry(gateway, static_cast<uint16_t>(walk->next_index++), fields) != 0) {
    walk->reads_left = 0;
    return 0;
  }
  std::string protocol = entry->protocol;
  for (char& c : protocol) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (!walk->seen.emplace(entry->external_port, protocol).second) {
    walk->reads_left = 0;
    return 0;
  }
  ++entry->entry_count;
  return 1;
}
