// The commands through NAT-PMP and PCP: -add, -remove and -stats, each as a plain result
// shown either on the screens or as one JSON document. The router is the default
// gateway (or --gateway); what these protocols cannot do (list, search, describe) is
// said, never shown as an empty table.
#ifndef PORTWRANGLER_FLOWS_PORTMAP_H_
#define PORTWRANGLER_FLOWS_PORTMAP_H_

#include <chrono>
#include <memory>
#include <string>

#include "base/clock.h"
#include "cli/options.h"
#include "cli/records.h"
#include "cli/status.h"
#include "portmap/exchange.h"
#include "portmap/store.h"

/// The gateway to ask (--gateway, or the default route's of --interface, the IPv6 one with
/// `ipv6`) and this host's address toward it: kOk, or kRouteNoGateway / a socket failure.
Error portmap_find_gateway(const RunOptions& options, PortmapGateway* gateway, bool ipv6 = false);

/// A failure's words: the result code's name and number ("NOT_AUTHORIZED (2)"), or what
/// went wrong on the way.
std::string portmap_cause(MapVia via, const PortmapGrant& grant);

/// Runs the command `code` through `via` (kPcp or kNatpmp) at `gateway`: its screens,
/// or its JSON document with `options.json`.
Outcome portmap_flow(int code, MapVia via, const RequestRecord& request,
                     const PortmapGateway& gateway, const RunOptions& options);

/// One exchange of `request` through `via`, over by `deadline`.
PortmapGrant portmap_exchange(MapVia via, const PortmapGateway& gateway,
                              const PortmapRequest& request, const StoreSecret& secret,
                              Deadline deadline);

/// The lifetime-0 exchange that deletes what the gateway granted on `external_port`.
void portmap_delete_granted(MapVia via, const PortmapGateway& gateway, const PortmapRequest& map,
                            uint16_t external_port, const StoreSecret& secret);

/// --same-port: while the port granted is not the internal one, that grant is deleted and
/// the port granted asked for inside and out (at most kSamePortAsksMax asks); `*map` names
/// the ports last asked; the last grant is returned, whatever it was.
PortmapGrant portmap_follow_same_port(MapVia via, const PortmapGateway& gateway,
                                      PortmapRequest* map, PortmapGrant grant,
                                      const StoreSecret& secret, Deadline deadline);

/// Takes the record of a mapping that is gone: one left behind only has a later -remove
/// ask the gateway again.
void portmap_forget(const std::string& folder, const StoredMapping& record);

#endif  // PORTWRANGLER_FLOWS_PORTMAP_H_
