// AddAnyPortMapping's answer on any body: a port is taken only where the answer names
// one, 1 to 65535, written as it reads; nothing is written otherwise.
#include "gateway/mapping.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body = fuzz_text(data, size);
  uint16_t granted = 7;
  const Error error = gateway_parse_reserved_port(body, &granted);
  FUZZ_CHECK(error == Error::kOk || error == Error::kGatewayNoEntry ||
             error == Error::kGatewayUnparsable || error == Error::kNoMemory);
  if (error == Error::kOk) {
    FUZZ_CHECK(granted != 0);
    // An entity may spell the number otherwise; without one, it is in the answer as it is.
    FUZZ_CHECK(body.find(std::to_string(granted)) != std::string::npos ||
               body.find('&') != std::string::npos);
  } else if (error != Error::kGatewayNoEntry) {
    FUZZ_CHECK(granted == 7);
  }
  return 0;
}
