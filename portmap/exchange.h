// One request to the gateway's NAT-PMP/PCP port and the wait for its answer, with the
// request sent again on a schedule. What comes from elsewhere, or does not fit, is
// passed over (a trace line says why) and never taken for an answer.
#ifndef PORTWRANGLER_PORTMAP_EXCHANGE_H_
#define PORTWRANGLER_PORTMAP_EXCHANGE_H_

#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/error.h"
#include "base/retry.h"
#include "net/socket.h"
#include "portmap/wire.h"

/// The gateway asked, and this host's address toward it.
struct PortmapGateway {
  std::string address;
  std::string source;
  // `source` is not the one the system sends from toward the gateway (a global address
  // beside its link-local one): the requests are sent from it.
  bool bound = false;
  // A one-shot command's end: its exchanges' schedules are cut to it. The holding loop
  // passes each step's own instead.
  Deadline deadline;
};

/// A mapping asked for: lifetime 0 deletes it.
struct PortmapRequest {
  uint8_t protocol = kIpProtocolTcp;
  std::string internal_address;  // this host's, or another one's (PCP's THIRD_PARTY)
  uint16_t internal_port = 0;
  uint16_t external_port = 0;  // suggested
  uint32_t lifetime = 0;
  // Any port the gateway chooses will do: the suggested one need not be held (PCP then
  // sends no PREFER_FAILURE).
  bool any_port = false;
};

/// What the gateway answered: kOk with its grant, kPortmapRefused with its result code,
/// kPortmapNatpmpOnly, kPortmapNoAnswer, or a socket failure.
struct PortmapGrant {
  Error error = Error::kPortmapNoAnswer;
  int result = 0;
  uint16_t external_port = 0;
  uint32_t lifetime = 0;
  std::string external_address;  // PCP's MAP answer and NAT-PMP's address answer carry it
  uint32_t epoch = 0;
};

/// `schedule` cut to end by `deadline` (base/retry.h's portmap_schedule_within with the
/// time left); unchanged without one.
PortmapSchedule portmap_schedule_by(const PortmapSchedule& schedule, Deadline deadline);

/// What `take` makes of one datagram from the gateway's port: kOk ends the exchange.
using PortmapTake = std::function<WireCheck(const uint8_t* data, size_t length)>;

/// One exchange in progress, stepped by its caller's wait (beside a search, say). Start
/// it, wait on portmap_exchange_wait's socket for at most portmap_exchange_left_ms, then
/// step it, until it is done; `result` then says how it ended.
struct PortmapExchange {
  Socket socket;
  std::string gateway;
  Bytes request;
  PortmapSchedule schedule;
  PortmapTake take;
  long long start = 0;  // clock_ms()
  size_t sent = 0;      // sends made of the schedule's
  bool done = true;
  Error result = Error::kPortmapNoAnswer;  // kOk once `take` accepted a datagram
  int answer_ms = 0;                       // from the start to the end
};

/// Begins the exchange (nothing is sent before the first step), sent from `from` where
/// it is not empty: kOk, or the socket's failure (the exchange is then done with it as
/// its result).
Error portmap_exchange_start(const std::string& gateway, const Bytes& request,
                             const PortmapSchedule& schedule, const PortmapTake& take,
                             PortmapExchange* exchange, const std::string& from = std::string());

/// What the exchange waits for: its socket, readable.
SocketWait portmap_exchange_wait(PortmapExchange* exchange);

/// Milliseconds until the exchange must be stepped whatever its socket does (a send is
/// due, or the schedule ends); 0 when it is due now.
int portmap_exchange_left_ms(const PortmapExchange& exchange);

/// Sends what is due and takes the datagrams that are there, without waiting; ends the
/// exchange once one is accepted or the schedule ran out.
void portmap_exchange_step(PortmapExchange* exchange);

/// Steps every exchange of `exchanges` that is not done in one wait, until all are.
Error portmap_exchanges_finish(const std::vector<PortmapExchange*>& exchanges);

/// An exchange that keeps its answer in itself: a probe stepped by its caller's wait. It
/// stays where it was started, as its `take` writes into it.
struct PortmapAsk {
  PortmapExchange exchange;
  PortmapGrant grant;
  bool natpmp_only = false;  // a NAT-PMP server answered PCP's version with its own
  PortmapAsk() = default;
  PortmapAsk(const PortmapAsk&) = delete;
  PortmapAsk& operator=(const PortmapAsk&) = delete;
};

/// Whether an external address a gateway names (text) can be one: not all zero,
/// multicast, broadcast or loopback. A private or shared (CGNAT) one can.
bool portmap_external_usable(const std::string& address);

/// What a success answered to `request` grants: kOk, or for an add (lifetime above 0)
/// kPortmapNoLifetime, kPortmapNoPort or kPortmapBadAddress when the answer holds no
/// mapping a host can use; an answer that is no success is `grant.error` unchanged.
Error portmap_grant_verdict(const PortmapRequest& request, const PortmapGrant& grant);

/// Whether a grant that ended with `error` is the gateway's answer (a success, a
/// refusal, a success that grants nothing usable, NAT-PMP's answer to PCP) rather than
/// none.
bool portmap_answered(Error error);

/// The grant of an exchange that ended with `error`: that failure; kPortmapNatpmpOnly
/// when a NAT-PMP server refused PCP's version; else kOk for result 0, kPortmapRefused
/// for any other.
PortmapGrant portmap_grant_of(Error error, bool natpmp_only, PortmapGrant grant);

/// The ask's grant once it is done (kPortmapNoAnswer while it is under way).
PortmapGrant portmap_ask_grant(const PortmapAsk& ask);

/// kOk once `take` accepted a datagram from `gateway` port 5351; kPortmapNoAnswer when the
/// schedule ran out; a socket failure.
Error portmap_exchange(const std::string& gateway, const Bytes& request,
                       const PortmapSchedule& schedule, const PortmapTake& take,
                       const std::string& from = std::string());

/// Where a request to `gateway` is sent from: its bound source, else the system's choice
/// (empty).
inline const std::string& portmap_from(const PortmapGateway& gateway) {
  static const std::string kSystemsChoice;
  return gateway.bound ? gateway.source : kSystemsChoice;
}

/// Opens the listener for the announcements of `gateway`: UDP port 5350 (shared with the
/// host's other listeners), 224.0.0.1 joined, or for an IPv6 gateway ff02::1 on the
/// interface toward it (the one holding its source address, or its address's zone);
/// kOk or the reason it cannot.
Error portmap_listen(Socket* out, const PortmapGateway& gateway);

/// kOk with one announcement of `gateway` (from its port 5351) that waits on `listener`;
/// kPortmapNoAnswer when none waits. What comes from elsewhere, or is no announcement, is
/// passed over (a trace line each), at most kPortmapAnnouncementsAtOnce datagrams a call.
Error portmap_take_announcement(SocketHandle* listener, const std::string& gateway,
                                WireAnnouncement* out);

#endif  // PORTWRANGLER_PORTMAP_EXCHANGE_H_
