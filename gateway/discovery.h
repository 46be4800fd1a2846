// Finding the router: an SSDP search for the WAN IP connection service, then for the
// WAN PPP one; the LOCATION of the first reply names the device description, which is
// fetched and parsed into the control URL.
#ifndef PORTWRANGLER_GATEWAY_DISCOVERY_H_
#define PORTWRANGLER_GATEWAY_DISCOVERY_H_

#include <string>

#include "base/error.h"
#include "gateway/handle.h"

/// kOk with a handle whose control URL, description and service type are all set;
/// otherwise the failing step's error, and `*gateway` untouched.
Error discover_gateway(GatewayHandle* gateway);

/// kOk with the document at `location`, fetched with one HTTP GET; errors of the client.
Error fetch_description(const std::string& location, std::string* description);

#endif  // PORTWRANGLER_GATEWAY_DISCOVERY_H_
