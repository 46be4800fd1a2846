// The device-description parse on any document: a control URL comes out only for a
// well-formed one (bare ampersands mended), never longer than the HTTP client takes.
#include "gateway/description.h"
#include "net/http.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string description = fuzz_text(data, size);
  for (const char* type : {"WANIPConnection:1", "WANPPPConnection:1"}) {
    GatewayHandle gateway;
    gateway.service_type = type;
    const int code =
        gateway_parse_description(&gateway, "http://192.168.1.1:5000/rootDesc.xml", description);
    if (code == 0) {
      FUZZ_CHECK(!gateway.control_url.empty() && gateway.control_url.size() <= kControlUrlMax);
    } else {
      FUZZ_CHECK(code == kGatewayDescriptionUnparsable || code == kGatewayNoControlUrl ||
                 code == kGatewayTooLong || code == kNoMemory);
      FUZZ_CHECK(gateway.control_url.empty());
    }
  }
  return 0;
}
