// The router's ten identity texts, read again from the stored device description.
#ifndef PORTWRANGLER_GATEWAY_DEVICE_INFO_H_
#define PORTWRANGLER_GATEWAY_DEVICE_INFO_H_

#include "gateway/handle.h"

constexpr size_t kDeviceInfoFieldSize = 50;

/// The ten destinations, each of kDeviceInfoFieldSize bytes, in this order.
struct DeviceInfoFields {
  char* presentation_url;
  char* friendly_name;
  char* manufacturer_url;
  char* manufacturer;
  char* model_description;
  char* model_name;
  char* upc;
  char* model_number;
  char* model_url;
  char* serial_number;
};

/// 0 with each destination holding (cut to 49 characters) the text of the last element
/// of its name that carried text, whichever embedded device it belongs to; a
/// destination without such an element is not written. -696 for a malformed document
/// (nothing written), -499 when no parser can be had.
int gateway_device_info(const GatewayHandle* gateway, const DeviceInfoFields& fields);

#endif  // PORTWRANGLER_GATEWAY_DEVICE_INFO_H_
