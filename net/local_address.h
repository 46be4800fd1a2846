// This host's own IPv4 address toward the router, as the platform's routing picks it.
#ifndef PORTWRANGLER_NET_LOCAL_ADDRESS_H_
#define PORTWRANGLER_NET_LOCAL_ADDRESS_H_

#include <string>

#include "gateway/handle.h"

constexpr int kLocalAddressConnectSeconds = 2;

/// 0 with the local address of a TCP connection to the control URL's host and port
/// (nothing is sent over it); -893, -992, -999, -987 and the socket codes.
int gateway_local_address(const GatewayHandle* gateway, std::string* address);

#endif  // PORTWRANGLER_NET_LOCAL_ADDRESS_H_
