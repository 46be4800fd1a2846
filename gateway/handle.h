// The gateway control client: the router's WAN connection service, reached through
// SOAP actions on the control URL found in its device description. Nothing here
// prints; every operation returns 0 or a negative code with results in out-parameters.
#ifndef PORTWRANGLER_GATEWAY_HANDLE_H_
#define PORTWRANGLER_GATEWAY_HANDLE_H_

#include <cstddef>
#include <string>

#include "base/result_codes.h"

/// The discovered router. Empty texts are absent; after a successful discovery all
/// three are present and stay unchanged for the rest of the run.
struct GatewayHandle {
  std::string control_url;         // http://host[:port]/path or host:port/path
  std::string device_description;  // the description document as fetched
  std::string service_type;        // "WANIPConnection:1" or "WANPPPConnection:1"
};

/// The full URN of a short service type ("urn:schemas-upnp-org:service:" + type).
std::string gateway_service_urn(const std::string& service_type);

/// Releases `*handle` (an absent handle is fine) and sets it to null. Always 0.
int gateway_free(GatewayHandle** handle);

#endif  // PORTWRANGLER_GATEWAY_HANDLE_H_
