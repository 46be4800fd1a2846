// PCP (RFC 6887): a MAP made, renewed or deleted under its nonce, and the probe that
// tells a PCP server from a NAT-PMP one.
#ifndef PORTWRANGLER_PORTMAP_PCP_H_
#define PORTWRANGLER_PORTMAP_PCP_H_

#include "portmap/exchange.h"

/// The MAP `request` is sent as from `source` under `nonce`: THIRD_PARTY when the internal
/// address is not the source's; PREFER_FAILURE when the port asked is the one wanted (not
/// for a delete, nor with `any_port`); no external address suggested, as the family's
/// zeros (::ffff:0.0.0.0 for IPv4).
PcpMapRequest pcp_map_request(const PortmapRequest& request, const std::string& source,
                              const PcpNonce& nonce);

/// A MAP for the request under `nonce`, as pcp_map_request lays it out; a success that
/// grants no usable mapping to an add is portmap_grant_verdict's failure.
PortmapGrant pcp_map(const PortmapGateway& gateway, const PortmapRequest& request,
                     const PcpNonce& nonce, const PortmapSchedule& schedule);

/// An ANNOUNCE begun in `ask`, to be stepped by the caller's wait: kOk, or the socket's
/// failure (the ask is then done with it).
Error pcp_announce_start(const PortmapGateway& gateway, const PortmapSchedule& schedule,
                         PortmapAsk* ask);

#endif  // PORTWRANGLER_PORTMAP_PCP_H_
