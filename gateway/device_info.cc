#include "gateway/device_info.h"

#include "base/guard.h"
#include "base/limits.h"
#include "base/text.h"
#include "gateway/xml.h"
#include "gateway/xml_capture.h"

Error gateway_device_info(const GatewayHandle& gateway, DeviceInfo* info) {
  return guard_allocation([&] {
    XmlWatch watches[] = {{"presentationURL"},
                          {"friendlyName"},
                          {"manufacturerURL"},
                          {"manufacturer"},
                          {"modelDescription"},
                          {"modelName"},
                          {"UPC"},
                          {"modelNumber"},
                          {"modelURL"},
                          {"serialNumber"}};
    Error error = xml_capture(gateway.device_description, watches, 10);
    if (error != Error::kOk) return error;
    DeviceInfo read;
    std::string* const texts[] = {&read.presentation_url,
                                  &read.friendly_name,
                                  &read.manufacturer_url,
                                  &read.manufacturer,
                                  &read.model_description,
                                  &read.model_name,
                                  &read.upc,
                                  &read.model_number,
                                  &read.model_url,
                                  &read.serial_number};
    for (int i = 0; i < 10; ++i) {
      if (watches[i].delivered) {
        *texts[i] = text_cut(xml_trim(watches[i].last_delivered), kDeviceInfoTextMax);
      }
    }
    *info = std::move(read);
    return Error::kOk;
  });
}
