// Finding the router. The search asks for the WAN IP and the WAN PPP connection services
// first, then also for the Internet gateway device and for any root device, as routers in
// the field answer only some of these; it is sent three times within its wait on every
// interface that can carry it (a datagram may be lost, and a VPN's route must not hide the
// LAN). A reply is judged by what it points to: one whose ST is a service searched, a
// gateway device type, a root device or a uuid names a description worth reading; any
// other ST is passed over unread. Descriptions are read side by side, each once, a bounded
// number at a time (the rest wait their turn, every sender's first LOCATION before any
// second), each within its own time, while the search listens on; one that offers
// WAN IP is taken at once, one that offers only WAN PPP once the devices' answer window
// has passed without a WAN IP one.
#ifndef PORTWRANGLER_GATEWAY_DISCOVERY_H_
#define PORTWRANGLER_GATEWAY_DISCOVERY_H_

#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/error.h"
#include "gateway/handle.h"
#include "net/socket.h"

/// Where to look: a description named outright (the search is skipped), or one interface
/// to search on; empty for the search on every interface. With `firewall`, the search goes
/// over IPv6 for the IPv6 firewall control service (WANIPv6FirewallControl) instead.
struct DiscoveryOptions {
  std::string url;
  std::string interface_name;
  bool firewall = false;
  Deadline deadline = Deadline();  // the run's end: the search and its reads end by it
  /// The IPv4 default gateway of an interface (named; empty: the host's own): false when
  /// there is none. The routing table is the caller's to read; unset, none is known.
  std::function<bool(const std::string& interface_name, std::string* gateway)> default_gateway =
      nullptr;
};

/// Why discovery took the router it did.
enum class GatewayChoice {
  kNamed,           // its description named outright
  kFirstAnswer,     // no default gateway known on its link: the first usable reply
  kDefaultGateway,  // at its link's default gateway
  kBesideDefault,   // the default gateway offered no usable answer within the window
};

/// The choice `gateway` came of, read from where it answered from.
GatewayChoice gateway_choice(const GatewayHandle& gateway);

/// Its name in a JSON document: "named", "first_answer", "default_gateway",
/// "default_gateway_not_upnp".
const char* gateway_choice_name(GatewayChoice choice);

/// Work that goes on inside the search's one wait, beside it (a probe of the gateway in
/// another protocol): its sockets are watched with the search's, it is stepped after every
/// wait, and it may end the search before its time. None of its calls may throw.
struct SearchCompanion {
  /// Appends the sockets to watch to `waits`; returns the milliseconds until it must be
  /// stepped whatever they do (-1: no time of its own). `elapsed_ms` is the search's.
  std::function<int(int elapsed_ms, std::vector<SocketWait>* waits)> arm;
  /// Moves it on, after every wait.
  std::function<void()> step;
  /// Whether the search ends now, with no router: `elapsed_ms` since its start, and when
  /// the earliest reply whose description is still to be read came (-1: none). Asked
  /// while no router is at hand; unset, the search runs its course.
  std::function<bool(int elapsed_ms, int pending_reply_ms)> enough;
};

/// kOk with a handle whose control URL, description and service type are all set, and
/// the options' deadline;
/// otherwise the error of the last reply passed over (kSsdpNoReply when none came,
/// kSsdpNoInterface when the interface asked for is not there, kGatewayNoFirewall when a
/// router answered the firewall search without that service), and `*gateway` untouched.
/// With `companion`, it is stepped in the search's wait (not with a URL named outright).
Error discover_gateway(const DiscoveryOptions& options, GatewayHandle* gateway,
                       const SearchCompanion* companion = nullptr);

/// kOk when no interface is named, or the one named is there and can carry the search;
/// kSsdpNoInterface otherwise.
Error discovery_interface_check(const DiscoveryOptions& options);

/// One device a collecting search heard from: who answered, when, where its description
/// is, and what became of it.
struct FoundDevice {
  std::string sender;        // the reply's source address
  std::string location;      // the description it named
  int answer_ms = 0;         // from the search's start to the reply
  Error error = Error::kOk;  // kOk: `gateway` is what a plain command would take from it
  GatewayHandle gateway;     // the description is kept even when it offers no WAN service
};

/// The search of discover_gateway (no --url), but listening out its whole window and
/// reading every description named, none taken early: every device heard, in the order
/// their replies came. kOk even when none answered; kSsdpNoInterface as discover_gateway.
/// `interfaces` gets those searched on.
Error discover_all(const DiscoveryOptions& options, std::vector<FoundDevice>* found,
                   std::vector<NetInterface>* interfaces,
                   const SearchCompanion* companion = nullptr);

/// kOk with the interfaces a search with `options` goes out on (empty: the platform's
/// default one); kSsdpNoInterface as discover_gateway.
Error discovery_interfaces(const DiscoveryOptions& options, std::vector<NetInterface>* interfaces);

/// The search on every interface.
inline Error discover_gateway(GatewayHandle* gateway) {
  return discover_gateway(DiscoveryOptions(), gateway);
}

/// kOk with the document at `location`, fetched with one HTTP GET made again after a
/// failure in transport; errors of the client (kHttpCutShort for a body that stays cut
/// short and is not XML), kSocketTimedOut once `deadline` passed.
Error fetch_description(const std::string& location, std::string* description,
                        Deadline deadline = Deadline());

/// Why a reply's description is read, in the order they are preferred.
enum class ReplyRule {
  kService,        // its ST is a service searched (or a later version)
  kGatewayDevice,  // an Internet gateway, WAN or WAN connection device type
  kAnyDevice,      // upnp:rootdevice or a uuid
};

/// The rule's name for the trace.
const char* reply_rule_text(ReplyRule rule);

/// The checks a reply passes before the description it names is read: kOk with its
/// LOCATION and the rule that takes it; kSsdpNot200, kSsdpNoLocation, kGatewayTooLong (a
/// LOCATION over 511 characters), kSsdpOtherTarget (an ST that names another kind of
/// device or service).
Error discovery_read_reply(const std::string& reply, std::string* location, ReplyRule* rule);

/// What an SSDP announcement (NOTIFY) says of the router in `gateway`.
enum class Announcement {
  kOther,    // not the router's, or not an announcement
  kLeaving,  // ssdp:byebye: it goes (a daemon that stops)
  kAlive,    // ssdp:alive, its boot ID in `*boot_id` (empty when it gives none)
};

/// Reads `datagram`, sent from `sender`: the router's when it comes from the host of
/// its control URL.
Announcement gateway_announcement(const std::string& datagram, const std::string& sender,
                                  const GatewayHandle& gateway, std::string* boot_id);

#endif  // PORTWRANGLER_GATEWAY_DISCOVERY_H_
