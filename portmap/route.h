// The gateway NAT-PMP and PCP talk to: the default route's next hop, read from the system
// (or given with --gateway), and the address this host sends from toward it, which a
// PCP request must name as its client.
#ifndef PORTWRANGLER_PORTMAP_ROUTE_H_
#define PORTWRANGLER_PORTMAP_ROUTE_H_

#include <string>
#include <vector>

#include "base/error.h"

/// One default route: its interface, its next hop (dotted decimal, or IPv6 text with
/// "%" and the interface's number when it is link-local) and its metric.
struct DefaultRoute {
  std::string interface_name;
  std::string gateway;
  unsigned metric = 0;
};

/// Whether this machine keeps the low byte of a number first.
bool route_host_little_endian();

/// The default routes in the text of Linux's /proc/net/route, whose addresses are the
/// hexadecimal of a 32-bit number in the writer's byte order (`little_endian`: the low
/// byte first in memory); lines that are not a default route through a gateway are
/// passed over.
std::vector<DefaultRoute> route_parse_proc(const std::string& text,
                                           bool little_endian = route_host_little_endian());

/// The IPv6 default routes in the text of Linux's /proc/net/ipv6_route; a link-local next
/// hop is given without its zone (the caller knows the interface's number).
std::vector<DefaultRoute> route_parse_proc6(const std::string& text);

/// The route to use among `routes`: the lowest metric, on `interface_name` alone when it
/// is not empty; nullptr when none fits.
const DefaultRoute* route_choose(const std::vector<DefaultRoute>& routes,
                                 const std::string& interface_name);

/// kOk with the default gateway (of `interface_name` when it is not empty), the IPv6
/// one with `ipv6`; kRouteNoGateway when the system names none.
Error route_default_gateway(const std::string& interface_name, std::string* gateway,
                            bool ipv6 = false);

/// route_default_gateway's IPv4 answer as the UPnP search asks it (DiscoveryOptions'
/// default_gateway): true with the address.
bool route_default_gateway_found(const std::string& interface_name, std::string* gateway);

/// kOk with the address this host sends from toward `gateway`.
Error route_source_address(const std::string& gateway, std::string* source);

/// kOk with the address a mapping of this host names toward `gateway`, one the internet
/// reaches: the address this host sends from toward it, or where that is link-local (a
/// link-local gateway, as router advertisements give it), the global address of the same
/// interface (net_global_beside); `*bound` when that is not the one the system sends
/// from. kSocketNoGlobalIpv6 when the interface has none.
Error route_host_address(const std::string& gateway, std::string* address, bool* bound);

#endif  // PORTWRANGLER_PORTMAP_ROUTE_H_
