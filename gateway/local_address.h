// This host's own IPv4 address toward the router, as the platform's routing picks it.
#ifndef PORTWRANGLER_GATEWAY_LOCAL_ADDRESS_H_
#define PORTWRANGLER_GATEWAY_LOCAL_ADDRESS_H_

#include <string>

#include "base/error.h"
#include "gateway/handle.h"

/// kOk with the local address of a TCP connection to the control URL's host and port
/// (nothing is sent over it); kHttpBadUrl, kSocketNoResolve, kSocketConnectFailed,
/// kSocketNoLocalAddress and the other socket errors.
Error gateway_local_address(const GatewayHandle& gateway, std::string* address);

/// The address a pinhole names: as gateway_local_address, but where that is IPv6
/// link-local (a router reached at its link-local address), the global address of the
/// same interface (net_global_beside), which the internet reaches; kSocketNoGlobalIpv6
/// when it has none.
Error gateway_pinhole_address(const GatewayHandle& gateway, std::string* address);

/// As gateway_local_address, but always an IPv4 address, the one an IPv4 forwarding
/// names: reached over IPv6 (an IPv6 control URL), this host's IPv4 address on the same
/// interface; kSocketNoIpv4 when it has none.
Error gateway_local_ipv4(const GatewayHandle& gateway, std::string* address);

#endif  // PORTWRANGLER_GATEWAY_LOCAL_ADDRESS_H_
