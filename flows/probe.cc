#include "flows/probe.h"

#include <algorithm>

#include "base/limits.h"
#include "flows/portmap.h"
#include "portmap/pcp.h"
#include "portmap/wire.h"

bool portmap_probe_start(const RunOptions& options, PortmapProbe* probe) {
  if (portmap_find_gateway(options, &probe->gateway) != Error::kOk) return false;
  return pcp_announce_start(probe->gateway, portmap_probe_schedule(), &probe->ask) == Error::kOk;
}

ProbeFound portmap_probe_found(const PortmapProbe& probe) {
  const PortmapGrant grant = portmap_ask_grant(probe.ask);
  if (grant.error == Error::kPortmapNatpmpOnly) return ProbeFound::kNatpmp;
  // Any answer of PCP's shape is a PCP server, even one that refuses the ANNOUNCE.
  if (grant.error == Error::kOk || grant.error == Error::kPortmapRefused) return ProbeFound::kPcp;
  return ProbeFound::kNothing;
}

SearchCompanion probe_companion(const std::vector<PortmapAsk*>& asks) {
  SearchCompanion companion;
  companion.arm = [asks](int, std::vector<SocketWait>* waits) {
    int left = -1;
    for (PortmapAsk* ask : asks) {
      if (ask->exchange.done) continue;
      waits->push_back(portmap_exchange_wait(&ask->exchange));
      const int due = portmap_exchange_left_ms(ask->exchange);
      left = left < 0 ? due : std::min(left, due);
    }
    return left;
  };
  companion.step = [asks] {
    for (PortmapAsk* ask : asks) portmap_exchange_step(&ask->exchange);
  };
  return companion;
}

void probe_finish(const std::vector<PortmapAsk*>& asks) {
  std::vector<PortmapExchange*> exchanges;
  for (PortmapAsk* ask : asks) exchanges.push_back(&ask->exchange);
  (void)portmap_exchanges_finish(exchanges);
}

bool probe_has_enough(ProbeFound found, int elapsed_ms, int pending_reply_ms) {
  if (found == ProbeFound::kNothing || elapsed_ms < kAutoUpnpWaitMilliseconds) return false;
  const bool read_pending = pending_reply_ms >= 0 && pending_reply_ms < kAutoUpnpWaitMilliseconds;
  return !read_pending || elapsed_ms >= kSsdpWaitSeconds * 1000;
}

const char* probe_found_title(ProbeFound found) {
  return portmap_protocol_title(found == ProbeFound::kPcp ? kPcpVersion : kNatpmpVersion);
}
