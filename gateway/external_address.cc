#include "gateway/external_address.h"

#include "base/guard.h"
#include "base/limits.h"
#include "base/text.h"
#include "gateway/soap.h"
#include "gateway/xml.h"
#include "gateway/xml_capture.h"

Error gateway_external_address(const GatewayHandle& gateway, std::string* address) {
  return guard_allocation([&] {
    SoapAnswer answer;
    Error error = soap_action(gateway, "GetExternalIPAddress", "", false, Retry::kRead, &answer);
    if (error != Error::kOk) return error;
    return gateway_parse_external_address(answer.body, address);
  });
}

Error gateway_parse_external_address(const std::string& body, std::string* address) {
  return guard_allocation([&] {
    XmlWatch watch{"NewExternalIPAddress"};
    Error error = xml_capture(body, &watch, 1);
    if (error != Error::kOk) return error;
    // An empty element is an answer: a router without a public address (behind
    // carrier-grade NAT, or not connected) says so.
    if (watch.occurrences == 0) return Error::kGatewayNoAddress;
    const std::string text = xml_trim(watch.last_delivered);
    *address = text_cut(text, kAddressTextMax);
    return Error::kOk;
  });
}
