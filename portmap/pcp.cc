#include "portmap/pcp.h"

#include "net/socket.h"

namespace {

/// The source's address as PCP carries it (all zero when it is no address).
WireAddress wire_of(const std::string& text) {
  WireAddress address{};
  if (!net_address_bytes(text, address.data())) address.fill(0);
  return address;
}

}  // namespace

PcpMapRequest pcp_map_request(const PortmapRequest& request, const std::string& source,
                              const PcpNonce& nonce) {
  PcpMapRequest map;
  map.lifetime = request.lifetime;
  map.client = wire_of(source);
  map.nonce = nonce;
  map.protocol = request.protocol;
  map.internal_port = request.internal_port;
  map.external_port = request.external_port;
  map.internal_address = wire_of(request.internal_address);
  map.third_party = map.internal_address != map.client;
  // A delete cannot fail to get the port it asks for; with any port, a server that cannot
  // give the one suggested must choose another rather than refuse.
  map.prefer_failure = request.lifetime != 0 && !request.any_port;
  // No address wanted: the family's all-zero address, ::ffff:0.0.0.0 for IPv4 (RFC 6887).
  map.external_address =
      wire_address_is_v4(map.client) ? wire_address_v4(0, 0, 0, 0) : WireAddress{};
  return map;
}

PortmapGrant pcp_map(const PortmapGateway& gateway, const PortmapRequest& request,
                     const PcpNonce& nonce, const PortmapSchedule& schedule) {
  const PcpMapRequest map = pcp_map_request(request, gateway.source, nonce);
  PortmapGrant grant;
  bool natpmp_only = false;
  const Error error = portmap_exchange(
      gateway.address, pcp_encode_map(map), schedule,
      [&](const uint8_t* data, size_t length) {
        PcpAnswer answer;
        WireCheck check = pcp_decode(data, length, &answer);
        if (check == WireCheck::kNatpmpOnly) {
          natpmp_only = true;
          return WireCheck::kOk;
        }
        if (check == WireCheck::kOk) check = pcp_answers_map(map, answer);
        if (check != WireCheck::kOk) return check;
        grant.result = answer.result;
        grant.lifetime = answer.lifetime;
        grant.epoch = answer.epoch;
        if (answer.has_map) {
          grant.external_port = answer.external_port;
          grant.external_address = net_address_text(answer.external_address.data());
        }
        return check;
      },
      portmap_from(gateway));
  grant = portmap_grant_of(error, natpmp_only, grant);
  grant.error = portmap_grant_verdict(request, grant);
  return grant;
}

Error pcp_announce_start(const PortmapGateway& gateway, const PortmapSchedule& schedule,
                         PortmapAsk* ask) {
  return portmap_exchange_start(
      gateway.address, pcp_encode_announce(wire_of(gateway.source)), schedule,
      [ask](const uint8_t* data, size_t length) {
        PcpAnswer answer;
        const WireCheck check = pcp_decode(data, length, &answer);
        if (check == WireCheck::kNatpmpOnly) {
          ask->natpmp_only = true;
          return WireCheck::kOk;
        }
        if (check != WireCheck::kOk) return check;
        if (answer.opcode != kPcpOpAnnounce) return WireCheck::kBadOpcode;
        ask->grant.result = answer.result;
        ask->grant.epoch = answer.epoch;
        return check;
      },
      &ask->exchange, portmap_from(gateway));
}
