#include "app/run_portmap.h"

#include "cli/grammar.h"
#include "flows/pinhole.h"
#include "flows/portmap.h"
#include "render/console.h"
#include "render/json.h"
#include "render/json_portmap.h"
#include "render/screens_pinhole.h"
#include "render/screens_portmap.h"

Outcome portmap_flow(int code, MapVia via, const RequestRecord& request,
                     const PortmapGateway& gateway, const RunOptions& options) {
  if ((code == kPinholeAdd || code == kPinholeRemove) && via == MapVia::kPcp) {
    return pcp_pinhole_flow(code, request, gateway, options.json);
  }
  const PortmapResult result = portmap_apply(code, via, request, gateway, options);
  if (options.json) {
    json_portmap_write(result, gateway);
  } else {
    portmap_show(result);
  }
  return portmap_outcome(result);
}

Outcome pinhole_flow(int code, const RequestRecord& request, const GatewayHandle& gateway) {
  return pinhole_show(pinhole_apply(code, request, gateway));
}

Outcome json_pinhole_flow(int code, const RequestRecord& request, const GatewayHandle& gateway) {
  const PinholeResult result = pinhole_apply(code, request, gateway);
  const Outcome outcome = pinhole_outcome(result);
  console_write(json_pinhole_document(result, outcome));
  return outcome;
}

Outcome pcp_pinhole_flow(int code, const RequestRecord& request, const PortmapGateway& gateway,
                         bool json) {
  const PcpPinholeResult result = pcp_pinhole_apply(code, request, gateway);
  if (json) {
    console_write(json_pcp_pinhole_document(result));
  } else {
    pcp_pinhole_show(result);
  }
  return pcp_pinhole_outcome(result);
}
