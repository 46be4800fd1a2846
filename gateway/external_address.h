// The router's public IPv4 address (GetExternalIPAddress).
#ifndef PORTWRANGLER_GATEWAY_EXTERNAL_ADDRESS_H_
#define PORTWRANGLER_GATEWAY_EXTERNAL_ADDRESS_H_

#include <string>

#include "base/error.h"
#include "gateway/handle.h"

/// kOk with the NewExternalIPAddress text (white space around it dropped) cut to 31
/// bytes, empty when the element is; `*address` is written only on success.
/// kGatewayUnparsable for a malformed answer, kGatewayNoAddress when it carries no such
/// element, or the call's error.
Error gateway_external_address(const GatewayHandle& gateway, std::string* address);

/// The answer's part of gateway_external_address, for the body of a response.
Error gateway_parse_external_address(const std::string& body, std::string* address);

#endif  // PORTWRANGLER_GATEWAY_EXTERNAL_ADDRESS_H_
