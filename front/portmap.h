// The commands through NAT-PMP and PCP: -add, -remove and -stats, each as a plain result
// shown either on the screens or as one JSON document. The router is the default
// gateway (or --gateway); what these protocols cannot do (list, search, describe) is
// said, never shown as an empty table.
#ifndef PORTWRANGLER_FRONT_PORTMAP_H_
#define PORTWRANGLER_FRONT_PORTMAP_H_

#include <string>

#include "front/keep.h"
#include "front/options.h"
#include "front/records.h"
#include "front/status.h"
#include "portmap/exchange.h"

/// The gateway to ask (--gateway, or the default route's of --interface) and this host's
/// address toward it: kOk, or kRouteNoGateway / a socket failure.
Error portmap_find_gateway(const RunOptions& options, PortmapGateway* gateway);

/// Runs the command `code` through `via` (kPcp or kNatpmp) at `gateway`: its screens,
/// or its JSON document with `options.json`.
Outcome portmap_flow(int code, MapVia via, const RequestRecord& request,
                     const PortmapGateway& gateway, const RunOptions& options);

/// The mapping an -add asks for through `via` as an entry of the holding loop: made
/// (the port asked, or --any-port's), renewed with the port granted before, made again
/// when the gateway's epoch says it lost its mappings, deleted at the end. Its events
/// are lines on standard error, or JSON lines with `options.json`.
HeldEntry hold_portmap(MapVia via, const RequestRecord& request, const PortmapGateway& gateway,
                       const RunOptions& options);

#endif  // PORTWRANGLER_FRONT_PORTMAP_H_
