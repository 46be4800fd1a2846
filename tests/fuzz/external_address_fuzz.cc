// The GetExternalIPAddress answer on any body: the address is written only on success,
// at most 31 bytes.
#include "base/limits.h"
#include "gateway/external_address.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body = fuzz_text(data, size);
  std::string address = "untouched";
  const Error error = gateway_parse_external_address(body, &address);
  if (error == Error::kOk) {
    FUZZ_CHECK(address.size() <= kAddressTextMax);
  } else {
    FUZZ_CHECK(error == Error::kGatewayUnparsable || error == Error::kGatewayNoAddress ||
               error == Error::kNoMemory);
    FUZZ_CHECK(address == "untouched");
  }
  return 0;
}
