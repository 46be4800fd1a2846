// NAT-PMP (RFC 6886): a mapping made, renewed or deleted, and the external address.
#ifndef PORTWRANGLER_PORTMAP_NATPMP_H_
#define PORTWRANGLER_PORTMAP_NATPMP_H_

#include "portmap/exchange.h"

/// Maps (or with lifetime 0 deletes: the suggested port is then sent as 0) the request's
/// internal port; NAT-PMP maps for the sender alone. A success that grants an add no
/// usable mapping is portmap_grant_verdict's failure.
PortmapGrant natpmp_map(const PortmapGateway& gateway, const PortmapRequest& request,
                        const PortmapSchedule& schedule);

/// NAT-PMP's external-address request begun in `ask`, to be stepped by the caller's wait:
/// kOk, or the socket's failure (the ask is then done with it).
Error natpmp_external_address_start(const PortmapGateway& gateway, const PortmapSchedule& schedule,
                                    PortmapAsk* ask);

/// The external address, in the grant's `external_address`; kPortmapBadAddress when the
/// one named is unusable (0.0.0.0: none yet).
PortmapGrant natpmp_external_address(const PortmapGateway& gateway,
                                     const PortmapSchedule& schedule);

#endif  // PORTWRANGLER_PORTMAP_NATPMP_H_
