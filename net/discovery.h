// Gateway discovery: an SSDP search for the WAN IP connection service, then for the
// WAN PPP one; the first datagram that answers wins. Its LOCATION names the device
// description, which is fetched and parsed into the control URL.
#ifndef PORTWRANGLER_NET_DISCOVERY_H_
#define PORTWRANGLER_NET_DISCOVERY_H_

#include <string>

#include "base/result_codes.h"
#include "gateway/handle.h"

struct SocketHandle;

constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr int kSsdpPort = 1900;
constexpr int kSsdpReplySeconds = 5;
constexpr size_t kSsdpReplyMax = 1024;

/// 0 with a handle whose control URL, description and service type are all set;
/// otherwise the failing step's code and no handle.
int discover_gateway(GatewayHandle** out);

/// 0 with the first reply to either search and `service_type` set to the service
/// that was answered; the code of the PPP search when neither was answered.
int ssdp_search(GatewayHandle* gateway, std::string* reply);

/// 0 with the first datagram that answers one M-SEARCH for `target`.
int ssdp_query(const std::string& target, std::string* reply);

/// The M-SEARCH datagram for a search target.
std::string ssdp_search_text(const std::string& target);

/// 0 when the M-SEARCH for `target` went to the SSDP group; -992, -997.
int ssdp_send_search(SocketHandle* socket, const std::string& target);

/// 0 with the first datagram within 5 seconds (at most 1024 bytes); -799, -995.
int ssdp_receive_reply(SocketHandle* socket, std::string* reply);

/// 0 with the URL of the first CR LF-ended "LOCATION:" line (name in any case) of a
/// reply that contains "200 OK"; -797, -795 (no such line, or an empty value), -695.
int ssdp_location(const std::string& reply, std::string* location);

/// 0 with the document at `location`, fetched with one HTTP GET; codes of the client.
int fetch_description(const std::string& location, std::string* description);

#endif  // PORTWRANGLER_NET_DISCOVERY_H_
