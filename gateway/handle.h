// The gateway layer: the router's WAN connection service, found by discovery and reached
// through SOAP actions on the control URL of its device description. Built on net/ (and
// base/); nothing here prints. Every operation returns Error::kOk or a named failure and
// hands back values of its own types.
#ifndef PORTWRANGLER_GATEWAY_HANDLE_H_
#define PORTWRANGLER_GATEWAY_HANDLE_H_

#include <string>

#include "base/clock.h"

/// The discovered router. After a successful discovery all three texts are set and stay
/// unchanged for the rest of the run.
struct GatewayHandle {
  std::string control_url;         // http://host[:port]/path or host:port/path
  std::string device_description;  // the description document as fetched
  std::string service_type;        // "WANIPConnection:1" or "WANPPPConnection:1"
  // The run's end, which every exchange with the router ends by (none: each its own
  // time). A read of the table moves it on by a second, through a handle the flows hand
  // down as const: the time is the run's, not the router's.
  mutable Deadline deadline;
  // Where the search heard it, and the default gateway of the link its reply came over
  // (empty: none known, or the description was named outright).
  std::string answered_from;
  std::string default_gateway;
};

/// The full URN of a short service type ("urn:schemas-upnp-org:service:" + type).
inline std::string gateway_service_urn(const std::string& service_type) {
  return "urn:schemas-upnp-org:service:" + service_type;
}

#endif  // PORTWRANGLER_GATEWAY_HANDLE_H_
