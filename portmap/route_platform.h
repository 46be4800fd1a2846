// The system's default routes: route_posix.cc reads Linux's route table, route_win32.cc
// asks the IP Helper API. route.cc alone calls it.
#ifndef PORTWRANGLER_PORTMAP_ROUTE_PLATFORM_H_
#define PORTWRANGLER_PORTMAP_ROUTE_PLATFORM_H_

#include <vector>

#include "portmap/route.h"

/// Every IPv4 default route the system holds, or every IPv6 one with `ipv6`; false when it
/// cannot tell.
bool sys_default_routes(std::vector<DefaultRoute>* routes, bool ipv6);

#endif  // PORTWRANGLER_PORTMAP_ROUTE_PLATFORM_H_
