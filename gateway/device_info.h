// The router's ten identity texts, read again from the stored device description.
#ifndef PORTWRANGLER_GATEWAY_DEVICE_INFO_H_
#define PORTWRANGLER_GATEWAY_DEVICE_INFO_H_

#include <string>

#include "base/error.h"
#include "gateway/handle.h"

/// The identity texts, each at most 49 bytes; empty when the description has none.
struct DeviceInfo {
  std::string presentation_url;
  std::string friendly_name;
  std::string manufacturer_url;
  std::string manufacturer;
  std::string model_description;
  std::string model_name;
  std::string upc;
  std::string model_number;
  std::string model_url;
  std::string serial_number;
};

/// kOk with each text that of the last element of its name that carried text, whichever
/// embedded device it belongs to; kGatewayUnparsable for a malformed document (nothing
/// written), kNoMemory.
Error gateway_device_info(const GatewayHandle& gateway, DeviceInfo* info);

#endif  // PORTWRANGLER_GATEWAY_DEVICE_INFO_H_
