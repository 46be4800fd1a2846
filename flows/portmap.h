// The commands through NAT-PMP and PCP: -add, -remove and -stats, each as a plain result
// that the screens or the JSON document show (render/). The router is the default
// gateway (or --gateway); what these protocols cannot do (list, search, describe) is
// said, never shown as an empty table.
#ifndef PORTWRANGLER_FLOWS_PORTMAP_H_
#define PORTWRANGLER_FLOWS_PORTMAP_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/protocol.h"
#include "cli/options.h"
#include "cli/records.h"
#include "cli/status.h"
#include "gateway/reach.h"
#include "portmap/exchange.h"
#include "portmap/store.h"

/// What a delete's answer says of the mapping, or what the UPnP table says where the answer
/// cannot (NAT-PMP answers success whether or not anything was removed).
enum class Confirmation {
  kByAnswer,    // the answer itself tells (PCP)
  kGone,        // the UPnP table at the gateway holds the port no more
  kStillThere,  // it still holds it
  kCannot,      // no UPnP router at the gateway to ask, or it could not be read
};

/// What a command through NAT-PMP or PCP came to: the plain result both faces show.
struct PortmapResult {
  const char* command = "add";  // "add", "remove", "stats"; "none": the protocol cannot
  MapVia via = MapVia::kPcp;
  Outcome outcome{Status::kSuccess, ""};
  std::string message;  // the status box's text, when it tells a failure
  std::string cause;    // the gateway's words for it
  uint8_t protocol = kIpProtocolTcp;
  std::string client;
  uint16_t internal_port = 0;
  uint16_t external_port = 0;  // granted (asked, where nothing was granted)
  uint16_t asked_port = 0;
  uint32_t lifetime_asked = 0;
  PortmapGrant grant;
  std::string gateway;  // the address asked
  Confirmation confirmed = Confirmation::kByAnswer;
  std::string external_address;
  Reach reach = Reach::kUnknown;  // what the address told says of reaching the mappings
  std::string address_row;        // the External IP row where no address was told
  // Lines for standard error, in the order they came up, said before the result.
  std::vector<std::string> notes;
};

/// The gateway to ask (--gateway, or the default route's of --interface, the IPv6 one with
/// `ipv6`) and this host's address toward it: kOk, or kRouteNoGateway / a socket failure.
Error portmap_find_gateway(const RunOptions& options, PortmapGateway* gateway, bool ipv6 = false);

/// A failure's words: the result code's name and number ("NOT_AUTHORIZED (2)"), or what
/// went wrong on the way.
std::string portmap_cause(MapVia via, const PortmapGrant& grant);

/// The client a mapping of `request` is for: -ip's address (as it means it), else this
/// host's address toward `gateway`.
std::string portmap_client(const RequestRecord& request, const PortmapGateway& gateway);

/// The lifetime an add asks: --lease, else kPortmapLifetimeSeconds.
uint32_t portmap_lifetime_asked(const RunOptions& options);

/// Runs the command `code` (-add, -remove, -stats) through `via` (kPcp or kNatpmp) at
/// `gateway`; any other command comes to "none": it needs UPnP.
PortmapResult portmap_apply(int code, MapVia via, const RequestRecord& request,
                            const PortmapGateway& gateway, const RunOptions& options);

/// How a command through NAT-PMP or PCP ends the run: success, or a failure whose box
/// has been shown.
Outcome portmap_outcome(const PortmapResult& result);

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
/// ask the gateway again. Empty, or the problem that keeps the record (for the caller to
/// say: "the record of the mapping stays: ...").
std::string portmap_forget(const std::string& folder, const StoredMapping& record);

#endif  // PORTWRANGLER_FLOWS_PORTMAP_H_
