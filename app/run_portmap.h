// The one-shot commands through NAT-PMP and PCP, and the pinhole commands: each runs its
// flow, then shows the result on the screens or as its JSON document.
#ifndef PORTWRANGLER_APP_RUN_PORTMAP_H_
#define PORTWRANGLER_APP_RUN_PORTMAP_H_

#include "cli/options.h"
#include "cli/records.h"
#include "cli/status.h"
#include "gateway/handle.h"
#include "portmap/exchange.h"

/// Runs the command `code` through `via` (kPcp or kNatpmp) at `gateway`: its screens,
/// or its JSON document with `options.json`.
Outcome portmap_flow(int code, MapVia via, const RequestRecord& request,
                     const PortmapGateway& gateway, const RunOptions& options);

/// A pinhole command through UPnP with its screens.
Outcome pinhole_flow(int code, const RequestRecord& request, const GatewayHandle& gateway);

/// A pinhole command through UPnP with its JSON document.
Outcome json_pinhole_flow(int code, const RequestRecord& request, const GatewayHandle& gateway);

/// -pinhole -add or -remove (PROTO PORT) through PCP at `gateway`, for `gateway.source`:
/// its screens, or its JSON document with `json`.
Outcome pcp_pinhole_flow(int code, const RequestRecord& request, const PortmapGateway& gateway,
                         bool json);

#endif  // PORTWRANGLER_APP_RUN_PORTMAP_H_
