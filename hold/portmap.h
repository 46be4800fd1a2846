// NAT-PMP and PCP mappings, and PCP pinholes, as entries of the holding loop, and the
// gateway's announcements as a listener of it.
#ifndef PORTWRANGLER_HOLD_PORTMAP_H_
#define PORTWRANGLER_HOLD_PORTMAP_H_

#include <chrono>
#include <memory>
#include <string>

#include "cli/options.h"
#include "cli/records.h"
#include "hold/loop.h"
#include "net/socket.h"
#include "portmap/exchange.h"

/// What the holder knows of the gateway its mappings go through: its announcements'
/// listener, the epoch of what it said last, and whether its mappings may be gone.
struct PortmapServer {
  PortmapGateway gateway;
  Socket listener;  // UDP 5350; none where it cannot be opened
  bool epoch_known = false;
  uint32_t epoch = 0;
  std::chrono::steady_clock::time_point epoch_at;
  int announcements = 0;    // heard so far
  std::string reach_noted;  // the external address the reachability note was said for
};

/// The lease a granted `lifetime` is held as in the loop, which renews at half the lease:
/// for PCP a point between 1/2 and 5/8 of the lifetime, as `draw` (0 to 1) falls; for
/// NAT-PMP its half; never sooner than kPortmapRenewFloorSeconds.
int64_t portmap_renewal_lease(MapVia via, uint32_t lifetime, double draw);

/// The gateway's record for holding, its announcements' listener open (a trace line
/// says when it cannot be).
std::shared_ptr<PortmapServer> portmap_server(const PortmapGateway& gateway);

/// The listener for the holding loop: an announcement of the gateway (a PCP ANNOUNCE, a
/// NAT-PMP external address, sent from its port 5351) has every mapping renewed within a
/// random wait of up to 5 s (a NAT-PMP epoch gone back: at once), each no sooner than
/// the loop's renewal floor allows.
HoldListener portmap_listener(const std::shared_ptr<PortmapServer>& server);

/// The mapping an -add asks for through `via` as an entry of the holding loop: made
/// (the port asked, or --any-port's), renewed with the port granted before (while the
/// gateway does not answer, on the protocol's retransmission schedule), made again when
/// its epoch or its announcement says it lost its mappings, deleted at the end. With
/// --any-port a renewal granted another port holds that one (`changed`, its record
/// replaced); with --same-port the internal port follows the port granted. Its events
/// go to `sink`.
HeldEntry hold_portmap(MapVia via, const RequestRecord& request,
                       const std::shared_ptr<PortmapServer>& server, const RunOptions& options,
                       HoldSink* sink);

/// The pinhole a -pinhole -add asks for through PCP (this host's IPv6 address toward the
/// IPv6 gateway of `server`) as an entry of the holding loop, held as a mapping is: the
/// port asked is the port held, whatever the answer names; when this host's address
/// changed, the next renewal opens it for the new one (`moved`). Its events read as a
/// UPnP pinhole's, PCP named; they go to `sink`.
HeldEntry hold_pcp_pinhole(const RequestRecord& request,
                           const std::shared_ptr<PortmapServer>& server, HoldSink* sink);

/// Whose entries the listener of `server` speaks for: the IPv4 or the IPv6 gateway's.
const char* portmap_router(const PortmapServer& server);

#endif  // PORTWRANGLER_HOLD_PORTMAP_H_
