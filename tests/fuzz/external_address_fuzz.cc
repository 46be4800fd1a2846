// The GetExternalIPAddress answer on any body: the 32-byte field is written only on
// success, always terminated, with a non-empty address.
#include "gateway/external_address.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body = fuzz_text(data, size);
  char field[32];
  std::memset(field, 'x', sizeof(field));
  const int code = gateway_parse_external_address(body, field, sizeof(field));
  if (code == 0) {
    FUZZ_CHECK(field[sizeof(field) - 1] == '\0');
    FUZZ_CHECK(field[0] != '\0');
  } else {
    FUZZ_CHECK(code == kGatewayUnparsable || code == kGatewayNoAddress || code == kNoMemory);
    for (char c : field) FUZZ_CHECK(c == 'x');
  }
  return 0;
}
