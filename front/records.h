// The run's two records. One layout serves both: the request record holds what the
// command asked for and the run-wide results; the entry record holds the port-mapping
// entry last read from the router and the counters of the walk. A field meaningful in
// only one role keeps its initial value in the other.
#ifndef PORTWRANGLER_FRONT_RECORDS_H_
#define PORTWRANGLER_FRONT_RECORDS_H_

#include <cstdint>
#include <memory>
#include <string>

struct Record {
  uint16_t internal_port = 0;  // 0 = not given
  uint16_t external_port = 0;  // 0 = not given
  int32_t found = 0;           // a clashing entry (add) or the entry to remove was found
  int32_t match_count = 0;     // entries that passed the listing filter
  int32_t entry_id = -1;       // entry-ID filter: -1 = none; 1..999 as typed
  int32_t entry_count = 0;     // entries read so far = 0-based index of the next read
  int32_t enabled = -1;        // status filter (-1 none, 1, 0) / the entry's NewEnabled
  int32_t quick = 0;           // "-q": skip the walk before an add or a removal
  std::string local_address;   // this host's address toward the router; empty = unknown
  char ip_address[32] = {};    // as typed / the entry's NewInternalClient
  char external_address[32] = {};
  char protocol[5] = {};    // as typed / the entry's NewProtocol
  std::string description;  // kept whole; reports shorten it for display
  char manufacturer_url[50] = {};
  char model_name[50] = {};
  char model_url[50] = {};
  char presentation_url[50] = {};
  char manufacturer[50] = {};
  char upc[50] = {};
  char serial_number[50] = {};
  char friendly_name[50] = {};
  char model_description[50] = {};
  char model_number[50] = {};
};

using RequestRecord = Record;
using EntryRecord = Record;

/// The two records of one run; created at start-up, freed by status_exit.
struct RunRecords {
  std::unique_ptr<RequestRecord> request;
  std::unique_ptr<EntryRecord> entry;
};

#endif  // PORTWRANGLER_FRONT_RECORDS_H_
