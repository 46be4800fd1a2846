// The run's request: what the command asked for, and the two addresses every run learns
// before it does anything with the router. The grammar writes the command's fields, the
// driver the addresses; the flows only read it.
#ifndef PORTWRANGLER_CLI_RECORDS_H_
#define PORTWRANGLER_CLI_RECORDS_H_

#include <cstdint>
#include <string>

struct RequestRecord {
  uint16_t internal_port = 0;    // 0 = not given
  uint16_t external_port = 0;    // 0 = not given
  int32_t entry_id = -1;         // entry-ID filter: -1 = none; 1..999 as typed
  int32_t enabled = -1;          // status filter: -1 none, 1 Enabled, 0 Disabled
  bool quick = false;            // "-q": skip the walk before an add or a removal
  bool any_port = false;         // --any-port: the router chooses the external port
  bool same_port = false;        // --same-port: the internal port follows the one granted
  uint32_t lease_seconds = 0;    // the lease an add asks for (--lease); 0: permanent
  uint16_t pinhole_port = 0;     // -pinhole -add: the port to open
  uint32_t pinhole_lease = 0;    // -pinhole -add: its lease in seconds
  int32_t pinhole_id = -1;       // -pinhole -remove / -check: the router's ID
  std::string ip_address;        // as typed, at most 31 characters; empty = not given
  std::string protocol;          // as typed; empty = not given
  std::string description;       // as sent; reports shorten it for display
  std::string local_address;     // this host's address toward the router
  std::string external_address;  // the router's public address, at most 31 bytes
};

#endif  // PORTWRANGLER_CLI_RECORDS_H_
