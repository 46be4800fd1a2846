// The device description: the control URL of the WAN connection service.
#ifndef PORTWRANGLER_GATEWAY_DESCRIPTION_H_
#define PORTWRANGLER_GATEWAY_DESCRIPTION_H_

#include <string>

#include "base/error.h"
#include "gateway/handle.h"

/// kOk with `gateway->control_url` set from the controlURL of the service whose
/// serviceType matches `gateway->service_type` (the last such service wins), joined to
/// the URLBase (or baseURL) or to host:port of `location` unless it is absolute. kHttpBadUrl for a
/// location that does not split, kGatewayDescriptionUnparsable for a malformed document,
/// kGatewayNoControlUrl when no controlURL was found for the service, kGatewayTooLong for
/// a control URL longer than 511 characters, kHttpRefusedHost for one that names a
/// loopback, unspecified, multicast or broadcast address (loopback is taken from a
/// description that came from loopback itself). A link-local control URL without a zone
/// takes the zone of `location`.
Error gateway_parse_description(GatewayHandle* gateway, const std::string& location,
                                const std::string& description);

/// Whether a serviceType `text` names the wanted service: a leading part of `wanted_urn`,
/// or the same URN with an equal or greater version number.
bool service_type_matches(const std::string& text, const std::string& wanted_urn);

/// Whether `urn` is `wanted_urn` or the same URN with a greater version number (what an
/// SSDP reply's ST may say of the service searched).
bool service_urn_at_least(const std::string& urn, const std::string& wanted_urn);

/// `base` and the relative `path` joined with exactly one '/' between them.
std::string join_control_url(const std::string& base, const std::string& path);

#endif  // PORTWRANGLER_GATEWAY_DESCRIPTION_H_
