// PCP (RFC 6887): a MAP made, renewed or deleted under its nonce, and the probe that
// tells a PCP server from a NAT-PMP one.
#ifndef PORTWRANGLER_PORTMAP_PCP_H_
#define PORTWRANGLER_PORTMAP_PCP_H_

#include "portmap/exchange.h"

/// A MAP for the request under `nonce`; PREFER_FAILURE goes with it unless it deletes,
/// THIRD_PARTY when the internal address is not the source's.
PortmapGrant pcp_map(const PortmapGateway& gateway, const PortmapRequest& request,
                     const PcpNonce& nonce, const PortmapSchedule& schedule);

/// An ANNOUNCE begun in `ask`, to be stepped by the caller's wait: kOk, or the socket's
/// failure (the ask is then done with it).
Error pcp_announce_start(const PortmapGateway& gateway, const PortmapSchedule& schedule,
                         PortmapAsk* ask);

/// An ANNOUNCE: kOk when a PCP server answers, kPortmapNatpmpOnly when a NAT-PMP one does.
PortmapGrant pcp_announce(const PortmapGateway& gateway, const PortmapSchedule& schedule);

#endif  // PORTWRANGLER_PORTMAP_PCP_H_
