// The gateway NAT-PMP and PCP talk to: the default route's next hop, read from the system
// (or given with --gateway), and the address this host sends from toward it, which a
// PCP request must name as its client.
#ifndef PORTWRANGLER_PORTMAP_ROUTE_H_
#define PORTWRANGLER_PORTMAP_ROUTE_H_

#include <string>
#include <vector>

#include "base/error.h"

/// One IPv4 default route: its interface, its next hop (dotted decimal) and its metric.
struct DefaultRoute {
  std::string interface_name;
  std::string gateway;
  unsigned metric = 0;
};

/// The default routes in the text of Linux's /proc/net/route (little-endian hexadecimal
/// fields); lines that are not a default route through a gateway are passed over.
std::vector<DefaultRoute> route_parse_proc(const std::string& text);

/// The route to use among `routes`: the lowest metric, on `interface_name` alone when it
/// is not empty; nullptr when none fits.
const DefaultRoute* route_choose(const std::vector<DefaultRoute>& routes,
                                 const std::string& interface_name);

/// kOk with the default gateway (of `interface_name` when it is not empty);
/// kRouteNoGateway when the system names none.
Error route_default_gateway(const std::string& interface_name, std::string* gateway);

/// kOk with the address this host sends from toward `gateway`.
Error route_source_address(const std::string& gateway, std::string* source);

#endif  // PORTWRANGLER_PORTMAP_ROUTE_H_
