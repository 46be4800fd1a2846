// The GetGenericPortMappingEntry answer on any body: the fixed fields of the entry
// record stay terminated and nothing is written past them. Mending bare ampersands
// leaves a document Expat already accepts as it is, and a mended one as it is.
#include <expat.h>

#include "front/records.h"
#include "gateway/mapping.h"
#include "gateway/xml_capture.h"
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

  const std::string mended = xml_mend_ampersands(body);
  FUZZ_CHECK(xml_mend_ampersands(mended) == mended);
  XML_Parser parser = XML_ParserCreate(nullptr);
  if (parser != nullptr) {
    if (XML_Parse(parser, body.data(), static_cast<int>(body.size()), XML_TRUE) ==
        XML_STATUS_OK) {
      FUZZ_CHECK(mended == body);
    }
    XML_ParserFree(parser);
  }
  return 0;
}
