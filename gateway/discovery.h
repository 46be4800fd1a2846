// Finding the router. One search asks for the WAN IP and the WAN PPP connection services
// together, sent three times within its wait on every interface that can carry it (a
// datagram may be lost, and a VPN's route must not hide the LAN). Every reply is checked
// before it is taken: 200 OK, a LOCATION, an ST naming a service searched, and a
// description there that gives the control URL of that service (of WAN IP first, whichever
// search was answered). A reply that fails a check is passed over and the search listens
// on; a WAN IP service is taken at once, a WAN PPP one once the devices' answer window has
// passed without a WAN IP one.
#ifndef PORTWRANGLER_GATEWAY_DISCOVERY_H_
#define PORTWRANGLER_GATEWAY_DISCOVERY_H_

#include <string>

#include "base/error.h"
#include "gateway/handle.h"

/// kOk with a handle whose control URL, description and service type are all set;
/// otherwise the error of the last reply passed over (kSsdpNoReply when none came), and
/// `*gateway` untouched.
Error discover_gateway(GatewayHandle* gateway);

/// Where discovery looks: the description at `url` instead of a search, or the search on
/// the interface named `interface_name` alone. Empty texts: as discover_gateway.
struct DiscoveryOptions {
  std::string url;
  std::string interface_name;
};

/// discover_gateway as `options` direct it. With a URL, the description there must give
/// a control URL (of WAN IP first); with an interface that is not there (or cannot
/// search), kSsdpNoReply.
Error discover_gateway(const DiscoveryOptions& options, GatewayHandle* gateway);

/// kOk with the document at `location`, fetched with one HTTP GET made again after a
/// failure in transport; errors of the client (kHttpCutShort for a body that stays cut
/// short and is not XML).
Error fetch_description(const std::string& location, std::string* description);

/// The checks a reply passes before the description it names is fetched: kOk with its
/// LOCATION and the service its ST names (0 WANIPConnection:1, 1 WANPPPConnection:1, or a
/// later version of either); kSsdpNot200, kSsdpNoLocation, kGatewayTooLong (a LOCATION
/// over 511 characters), kSsdpOtherTarget (an ST that names neither).
Error discovery_read_reply(const std::string& reply, std::string* location, int* service);

#endif  // PORTWRANGLER_GATEWAY_DISCOVERY_H_
