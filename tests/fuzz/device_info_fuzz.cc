// The identity texts of any description: every text holds at most 49 bytes of UTF-8
// cut where a character ends, and none is written for a malformed document.
#include "base/limits.h"
#include "base/text.h"
#include "gateway/device_info.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  GatewayHandle gateway;
  gateway.device_description = fuzz_text(data, size);
  DeviceInfo info;
  info.upc = "before";
  const Error error = gateway_device_info(gateway, &info);
  FUZZ_CHECK(error == Error::kOk || error == Error::kGatewayUnparsable ||
             error == Error::kNoMemory);
  if (error != Error::kOk) {
    FUZZ_CHECK(info.upc == "before" && info.friendly_name.empty());
    return 0;
  }
  for (const std::string* text :
       {&info.presentation_url, &info.friendly_name, &info.manufacturer_url, &info.manufacturer,
        &info.model_description, &info.model_name, &info.upc, &info.model_number, &info.model_url,
        &info.serial_number}) {
    FUZZ_CHECK(text->size() <= kDeviceInfoTextMax);
    FUZZ_CHECK(text_is_utf8(*text));  // the parser hands over UTF-8, and it is cut whole
  }
  return 0;
}
