// The device-description parse on any document: a control URL comes out only for a
// well-formed one (bare ampersands mended), never longer than the HTTP client takes.
#include "base/limits.h"
#include "gateway/description.h"
#include "net/http.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string description = fuzz_text(data, size);
  for (const char* type : {"WANIPConnection:1", "WANPPPConnection:1"}) {
    GatewayHandle gateway;
    gateway.service_type = type;
    const Error error =
        gateway_parse_description(&gateway, "http://192.168.1.1:5000/rootDesc.xml", description);
    if (error == Error::kOk) {
      FUZZ_CHECK(!gateway.control_url.empty() && gateway.control_url.size() <= kUrlMax);
    } else {
      FUZZ_CHECK(error == Error::kGatewayDescriptionUnparsable ||
                 error == Error::kGatewayNoControlUrl || error == Error::kGatewayTooLong ||
                 error == Error::kHttpRefusedHost || error == Error::kNoMemory);
      FUZZ_CHECK(gateway.control_url.empty());
    }
  }
  return 0;
}
