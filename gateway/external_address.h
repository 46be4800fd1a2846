// The router's public IPv4 address (GetExternalIPAddress).
#ifndef PORTWRANGLER_GATEWAY_EXTERNAL_ADDRESS_H_
#define PORTWRANGLER_GATEWAY_EXTERNAL_ADDRESS_H_

#include <cstddef>
#include <string>

#include "gateway/handle.h"

/// 0 with the NewExternalIPAddress text (white space around it dropped) cut to
/// capacity - 1 characters in `destination`, which is written only on success;
/// -696 for a malformed answer, -697 when it carries no address, or the call's code.
int gateway_external_address(const GatewayHandle* gateway, char* destination, size_t capacity);

/// The answer's part of gateway_external_address: 0 with the address from the body of a
/// GetExternalIPAddress response; -696, -697, -499 as above.
int gateway_parse_external_address(const std::string& body, char* destination, size_t capacity);

#endif  // PORTWRANGLER_GATEWAY_EXTERNAL_ADDRESS_H_
