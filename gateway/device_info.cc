#include "gateway/device_info.h"

#include "base/guard.h"
#include "base/text.h"
#include "gateway/xml_capture.h"

int gateway_device_info(const GatewayHandle* gateway, const DeviceInfoFields& fields) {
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
    char* const destinations[] = {fields.presentation_url,
                                  fields.friendly_name,
                                  fields.manufacturer_url,
                                  fields.manufacturer,
                                  fields.model_description,
                                  fields.model_name,
                                  fields.upc,
                                  fields.model_number,
                                  fields.model_url,
                                  fields.serial_number};
    int code = xml_capture(gateway->device_description, watches, 10);
    if (code != 0) return code;
    for (int i = 0; i < 10; ++i) {
      if (watches[i].delivered) {
        // Shown in a one-line cell: a text on its own line must not break the box.
        text_copy_to_field(destinations[i], kDeviceInfoFieldSize,
                           xml_trim(watches[i].last_delivered));
      }
    }
    return 0;
  });
}
