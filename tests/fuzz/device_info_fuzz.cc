// The identity texts of any description: every field is a terminated text of at most
// 49 characters, and none is written for a malformed document.
#include "gateway/device_info.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  GatewayHandle gateway;
  gateway.device_description = fuzz_text(data, size);
  char texts[10][kDeviceInfoFieldSize] = {};
  const DeviceInfoFields fields{texts[0], texts[1], texts[2], texts[3], texts[4],
                                texts[5], texts[6], texts[7], texts[8], texts[9]};
  const int code = gateway_device_info(&gateway, fields);
  FUZZ_CHECK(code == 0 || code == kGatewayUnparsable || code == kNoMemory);
  for (const char* text : texts) {
    FUZZ_CHECK(field_terminated(text, kDeviceInfoFieldSize));
    if (code != 0) FUZZ_CHECK(text[0] == '\0');
  }
  return 0;
}
