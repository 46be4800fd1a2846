#include "gateway/external_address.h"

#include "base/guard.h"
#include "base/text.h"
#include "gateway/soap.h"
#include "gateway/xml_capture.h"

int gateway_external_address(const GatewayHandle* gateway, char* destination, size_t capacity) {
  if (destination == nullptr || capacity < 1) return kBadArgument;
  return guard_allocation([&] {
    std::string envelope, body;
    int code = soap_envelope(gateway->service_type, "GetExternalIPAddress", "", &envelope);
    if (code != 0) return code;
    int status = 0;
    code = soap_call(gateway, "GetExternalIPAddress", envelope, &body, &status, nullptr);
    if (code != 0) return code;
    return gateway_parse_external_address(body, destination, capacity);
  });
}

int gateway_parse_external_address(const std::string& body, char* destination, size_t capacity) {
  if (destination == nullptr || capacity < 1) return kBadArgument;
  return guard_allocation([&] {
    XmlWatch watch{"NewExternalIPAddress"};
    int code = xml_capture(body, &watch, 1);
    if (code != 0) return code;
    std::string address = xml_trim(watch.last_delivered);
    if (address.empty()) return kGatewayNoAddress;
    text_copy_to_field(destination, capacity, address);
    return 0;
  });
}
