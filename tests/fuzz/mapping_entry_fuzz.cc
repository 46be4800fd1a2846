// The GetGenericPortMappingEntry answer on any body: the fixed fields of the entry
// record stay terminated and nothing is written past them.
#include "front/records.h"
#include "gateway/mapping.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body = fuzz_text(data, size);
  EntryRecord entry;
  const MappingEntryFields fields{&entry.external_port, &entry.internal_port,
                                  entry.protocol,       sizeof(entry.protocol),
                                  entry.ip_address,     sizeof(entry.ip_address),
                                  &entry.description,   &entry.enabled};
  const int code = gateway_parse_mapping_entry(body, fields);
  FUZZ_CHECK(code == 0 || code == kGatewayEntryUnparsable || code == kGatewayNoMemory);
  FUZZ_CHECK(field_terminated(entry.protocol, sizeof(entry.protocol)));
  FUZZ_CHECK(field_terminated(entry.ip_address, sizeof(entry.ip_address)));
  if (code != 0) {
    FUZZ_CHECK(entry.protocol[0] == '\0' && entry.ip_address[0] == '\0');
    FUZZ_CHECK(entry.description.empty() && entry.external_port == 0);
  }
  return 0;
}
