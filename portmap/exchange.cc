#include "portmap/exchange.h"

#include <algorithm>
#include <climits>

#include "base/clock.h"
#include "base/limits.h"
#include "base/trace.h"
#include "net/socket.h"

namespace {

int elapsed_ms(long long start) {
  return static_cast<int>(clock_ms() - start);
}

void end(PortmapExchange* exchange, Error result) {
  exchange->done = true;
  exchange->result = result;
  exchange->answer_ms = elapsed_ms(exchange->start);
  exchange->socket.reset();
}

/// The 16 bytes of an address text without its zone; false when it is no address.
bool address_bytes(const std::string& text, WireAddress* bytes) {
  return net_address_bytes(text.substr(0, text.find('%')), bytes->data());
}

}  // namespace

PortmapSchedule portmap_schedule_by(const PortmapSchedule& schedule, Deadline deadline) {
  return portmap_schedule_within(schedule, deadline_left_ms(deadline, INT_MAX));
}

bool portmap_external_usable(const std::string& text) {
  WireAddress bytes{};
  if (!address_bytes(text, &bytes)) return false;
  if (wire_address_is_v4(bytes)) {
    const uint8_t first = bytes[12];
    const bool broadcast = first == 255 && bytes[13] == 255 && bytes[14] == 255 && bytes[15] == 255;
    // 0/8 is "this network", 127/8 loopback, 224/4 multicast.
    return first != 0 && first != 127 && (first & 0xf0) != 0xe0 && !broadcast;
  }
  const WireAddress zero{};
  WireAddress loopback{};
  loopback[15] = 1;
  return bytes != zero && bytes != loopback && bytes[0] != 0xff;
}

Error portmap_grant_verdict(const PortmapRequest& request, const PortmapGrant& grant) {
  if (grant.error != Error::kOk || request.lifetime == 0) return grant.error;
  // A lifetime of 0 says the mapping is gone; port 0 is no port, unless every port was
  // asked for (internal port 0).
  if (grant.lifetime == 0) return Error::kPortmapNoLifetime;
  if (grant.external_port == 0 && request.internal_port != 0) return Error::kPortmapNoPort;
  // NAT-PMP's map answer names no address: nothing to check.
  if (!grant.external_address.empty() && !portmap_external_usable(grant.external_address)) {
    return Error::kPortmapBadAddress;
  }
  return Error::kOk;
}

Error portmap_exchange_start(const std::string& gateway, const Bytes& request,
                             const PortmapSchedule& schedule, const PortmapTake& take,
                             PortmapExchange* exchange, const std::string& from) {
  exchange->gateway = gateway;
  exchange->request = request;
  exchange->schedule = schedule;
  exchange->take = take;
  exchange->sent = 0;
  exchange->start = clock_ms();
  exchange->done = false;
  const Error error = from.empty() ? udp_open(&exchange->socket, net_host_is_v6(gateway))
                                   : udp_open_from(&exchange->socket, from);
  if (error != Error::kOk) {
    end(exchange, error);
    return error;
  }
  portmap_exchange_step(exchange);
  return Error::kOk;
}

SocketWait portmap_exchange_wait(PortmapExchange* exchange) {
  return {exchange->socket.get(), false, false};
}

int portmap_exchange_left_ms(const PortmapExchange& exchange) {
  if (exchange.done) return 0;
  const PortmapSchedule& schedule = exchange.schedule;
  const int next = exchange.sent < schedule.send_at.size() ? schedule.send_at[exchange.sent]
                                                           : schedule.give_up_at;
  return std::max(0, next - elapsed_ms(exchange.start));
}

void portmap_exchange_step(PortmapExchange* exchange) {
  if (exchange->done) return;
  char buffer[kPcpMessageMax + 4];
  // Nothing that came before the request went out answers it.
  for (int taken = 0; exchange->sent > 0 && taken < kPortmapDatagramsAtOnce; ++taken) {
    size_t received = 0;
    std::string sender;
    int sender_port = 0;
    const Error error = udp_receive_from(exchange->socket.get(), buffer, sizeof(buffer), &received,
                                         &sender, &sender_port, 0);
    if (error != Error::kOk) {
      end(exchange, error);
      return;
    }
    if (received == 0) break;
    if (!net_same_address(sender, exchange->gateway) || sender_port != kPortmapServerPort) {
      trace("portmap: a datagram from %s port %d passed over: not the gateway's", sender.c_str(),
            sender_port);
      continue;
    }
    const WireCheck check = exchange->take(reinterpret_cast<const uint8_t*>(buffer), received);
    if (check == WireCheck::kOk) {
      end(exchange, Error::kOk);
      return;
    }
    trace("portmap: an answer of %zu bytes passed over: %s", received, wire_check_text(check));
  }
  const PortmapSchedule& schedule = exchange->schedule;
  const int now = elapsed_ms(exchange->start);
  // The sends due go before the end is judged: a schedule cut to no time at all (a delete
  // at a stop whose time is spent) still sends once.
  while (exchange->sent < schedule.send_at.size() && now >= schedule.send_at[exchange->sent]) {
    const Error error = udp_send_to(exchange->socket.get(), exchange->gateway, kPortmapServerPort,
                                    reinterpret_cast<const char*>(exchange->request.data()),
                                    exchange->request.size());
    // A send that fails (no route yet) is tried again at the next time.
    if (error != Error::kOk) trace("portmap: send to %s failed", exchange->gateway.c_str());
    ++exchange->sent;
  }
  if (now >= schedule.give_up_at) end(exchange, Error::kPortmapNoAnswer);
}

Error portmap_exchanges_finish(const std::vector<PortmapExchange*>& exchanges) {
  for (;;) {
    std::vector<SocketWait> waits;
    int until = -1;
    for (PortmapExchange* exchange : exchanges) {
      if (exchange->done) continue;
      waits.push_back(portmap_exchange_wait(exchange));
      const int left = portmap_exchange_left_ms(*exchange);
      until = until < 0 ? left : std::min(until, left);
    }
    if (waits.empty()) return Error::kOk;
    const Error waited = socket_wait_any(&waits, until);
    for (PortmapExchange* exchange : exchanges) {
      if (waited != Error::kOk && !exchange->done) end(exchange, waited);
      portmap_exchange_step(exchange);
    }
    if (waited != Error::kOk) return waited;
  }
}

Error portmap_exchange(const std::string& gateway, const Bytes& request,
                       const PortmapSchedule& schedule, const PortmapTake& take,
                       const std::string& from) {
  PortmapExchange exchange;
  const Error error = portmap_exchange_start(gateway, request, schedule, take, &exchange, from);
  if (error != Error::kOk) return error;
  (void)portmap_exchanges_finish({&exchange});
  return exchange.result;
}

bool portmap_answered(Error error) {
  switch (error) {
    case Error::kOk:
    case Error::kPortmapRefused:
    case Error::kPortmapNatpmpOnly:
    case Error::kPortmapNoLifetime:
    case Error::kPortmapNoPort:
    case Error::kPortmapBadAddress:
      return true;
    default:
      return false;
  }
}

PortmapGrant portmap_grant_of(Error error, bool natpmp_only, PortmapGrant grant) {
  if (error != Error::kOk) {
    grant.error = error;
  } else if (natpmp_only) {
    grant.error = Error::kPortmapNatpmpOnly;
  } else {
    grant.error = grant.result == 0 ? Error::kOk : Error::kPortmapRefused;
  }
  return grant;
}

PortmapGrant portmap_ask_grant(const PortmapAsk& ask) {
  if (!ask.exchange.done) return PortmapGrant();
  return portmap_grant_of(ask.exchange.result, ask.natpmp_only, ask.grant);
}

Error portmap_listen(Socket* out, const PortmapGateway& gateway) {
  if (!net_host_is_v6(gateway.address)) {
    return udp_listen_group(out, kPortmapAnnounceGroup, kPortmapClientPort);
  }
  // A link-local gateway names its interface; else the interface this host sends from.
  unsigned index = 0;
  Error error = net_interface_index(gateway.address, &index);
  if (error != Error::kOk) error = net_interface_index(gateway.source, &index);
  if (error != Error::kOk) return error;
  return udp_listen_group(out, kPortmapAnnounceGroup6, kPortmapClientPort, index);
}

Error portmap_take_announcement(SocketHandle* listener, const std::string& gateway,
                                WireAnnouncement* out) {
  char buffer[kPcpMessageMax + 4];
  for (int i = 0; i < kPortmapAnnouncementsAtOnce; ++i) {
    size_t received = 0;
    std::string sender;
    int sender_port = 0;
    const Error error =
        udp_receive_from(listener, buffer, sizeof(buffer), &received, &sender, &sender_port, 0);
    if (error != Error::kOk) return error;
    if (received == 0) break;
    if (!net_same_address(sender, gateway) || sender_port != kPortmapServerPort) {
      trace("portmap: an announcement from %s port %d passed over: not the gateway's",
            sender.c_str(), sender_port);
      continue;
    }
    const WireCheck check =
        wire_decode_announcement(reinterpret_cast<const uint8_t*>(buffer), received, out);
    if (check == WireCheck::kOk) return Error::kOk;
    trace("portmap: an announcement of %zu bytes passed over: %s", received,
          wire_check_text(check));
  }
  return Error::kPortmapNoAnswer;
}
