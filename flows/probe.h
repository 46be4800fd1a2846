// The NAT-PMP/PCP probes made beside the UPnP search, stepped inside its one wait: auto's
// second choice, the hint where UPnP is missing, and -diagnose's look at each default
// gateway.
#ifndef PORTWRANGLER_FLOWS_PROBE_H_
#define PORTWRANGLER_FLOWS_PROBE_H_

#include <vector>

#include "cli/options.h"
#include "gateway/discovery.h"
#include "portmap/exchange.h"

/// What a probe of the gateway found: PCP, NAT-PMP, or nothing.
enum class ProbeFound { kNothing, kPcp, kNatpmp };

/// A PCP ANNOUNCE to the default gateway (a NAT-PMP server answers it with its own
/// version). It stays where it was started.
struct PortmapProbe {
  PortmapGateway gateway;  // the address asked
  PortmapAsk ask;
};

/// Begins the probe of the default gateway (or --gateway): false when there is none to
/// ask or no socket for it.
bool portmap_probe_start(const RunOptions& options, PortmapProbe* probe);

/// What the probe found; kNothing while it is under way.
ProbeFound portmap_probe_found(const PortmapProbe& probe);

/// A companion for the search that watches the asks' sockets in its wait and steps them
/// (none ends the search: set `enough` for that).
SearchCompanion probe_companion(const std::vector<PortmapAsk*>& asks);

/// Steps the asks still under way to their ends, in one wait.
void probe_finish(const std::vector<PortmapAsk*>& asks);

/// Whether auto takes what the probe found over the UPnP search still under way, at
/// `elapsed_ms` of the search with the earliest reply still to be read from
/// `pending_reply_ms` (-1: none): once the probe found a server and the search's first
/// kAutoUpnpWaitMilliseconds brought no router, the reads of replies that came within
/// them given until the search's wait ends.
bool probe_has_enough(ProbeFound found, int elapsed_ms, int pending_reply_ms);

/// The protocol the probe found as texts name it: "PCP" or "NAT-PMP".
const char* probe_found_title(ProbeFound found);

#endif  // PORTWRANGLER_FLOWS_PROBE_H_
