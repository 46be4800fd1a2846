// The GetGenericPortMappingEntry answer on any body: the entry's texts stay within their
// caps and are written only on success; mending an answer never spoils it.
#include <expat.h>

#include "base/limits.h"
#include "base/text.h"
#include "gateway/mapping.h"
#include "gateway/xml.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool expat_accepts(const std::string& document) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  if (parser == nullptr) return false;
  const bool accepted = XML_Parse(parser, document.data(), static_cast<int>(document.size()),
                                  XML_TRUE) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return accepted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body = fuzz_text(data, size);
  MappingEntry entry;
  const Error error = gateway_parse_mapping_entry(body, &entry);
  FUZZ_CHECK(error == Error::kOk || error == Error::kGatewayUnparsable ||
             error == Error::kGatewayNoEntry || error == Error::kNoMemory);
  FUZZ_CHECK(entry.protocol.size() <= kProtocolTextMax);
  FUZZ_CHECK(entry.client.size() <= kAddressTextMax);
  FUZZ_CHECK(entry.external_port_text.size() <= kAddressTextMax);
  // An entry is its external port and protocol.
  if (error == Error::kOk) FUZZ_CHECK(!entry.external_port_text.empty() && !entry.protocol.empty());
  if (error != Error::kOk) {
    FUZZ_CHECK(entry.protocol.empty() && entry.client.empty());
    FUZZ_CHECK(entry.description.empty() && entry.external_port == 0);
  }

  // Mending never spoils a document: one its parser accepts comes back as it is, and a
  // mended one is accepted or was refused before mending too. It settles in one pass,
  // and what it gives a UTF-8 document is UTF-8 with no byte XML 1.0 forbids.
  const std::string mended = xml_mend(body);
  FUZZ_CHECK(xml_mend(mended) == mended);
  const bool body_accepted = expat_accepts(body);
  if (body_accepted) FUZZ_CHECK(mended == body);
  if (!expat_accepts(mended)) FUZZ_CHECK(!body_accepted);
  if (xml_is_utf8_document(body)) {
    FUZZ_CHECK(text_is_utf8(mended));
    for (char c : mended) {
      FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r');
    }
  }
  return 0;
}
