#include "portmap/natpmp.h"

#include "net/socket.h"

namespace {

/// The grant an answer gives: kOk for result 0, else the refusal.
void grant_from(const NatpmpAnswer& answer, PortmapGrant* grant) {
  grant->result = answer.result;
  grant->epoch = answer.epoch;
  grant->error = answer.result == 0 ? Error::kOk : Error::kPortmapRefused;
  grant->external_port = answer.external_port;
  grant->lifetime = answer.lifetime;
}

}  // namespace

PortmapGrant natpmp_map(const PortmapGateway& gateway, const PortmapRequest& request,
                        const PortmapSchedule& schedule) {
  NatpmpMapRequest map;
  map.protocol = request.protocol;
  map.internal_port = request.internal_port;
  map.external_port = request.lifetime == 0 ? 0 : request.external_port;
  map.lifetime = request.lifetime;
  const uint8_t opcode = map.protocol == kIpProtocolUdp ? kNatpmpOpMapUdp : kNatpmpOpMapTcp;
  PortmapGrant grant;
  grant.error = portmap_exchange(
      gateway.address, natpmp_encode_map(map), schedule, [&](const uint8_t* data, size_t length) {
        NatpmpAnswer answer;
        const WireCheck check = natpmp_decode(data, length, opcode, &map, &answer);
        if (check == WireCheck::kOk) grant_from(answer, &grant);
        return check;
      });
  if (grant.error == Error::kOk && grant.result != 0) grant.error = Error::kPortmapRefused;
  grant.error = portmap_grant_verdict(request, grant);
  return grant;
}

Error natpmp_external_address_start(const PortmapGateway& gateway, const PortmapSchedule& schedule,
                                    PortmapAsk* ask) {
  return portmap_exchange_start(
      gateway.address, natpmp_encode_external_address(), schedule,
      [ask](const uint8_t* data, size_t length) {
        NatpmpAnswer answer;
        const WireCheck check =
            natpmp_decode(data, length, kNatpmpOpExternalAddress, nullptr, &answer);
        if (check != WireCheck::kOk) return check;
        grant_from(answer, &ask->grant);
        if (answer.result == 0) {
          ask->grant.external_address = net_address_text(answer.external_address.data());
        }
        return check;
      },
      &ask->exchange);
}

PortmapGrant natpmp_external_address(const PortmapGateway& gateway,
                                     const PortmapSchedule& schedule) {
  PortmapAsk ask;
  if (natpmp_external_address_start(gateway, schedule, &ask) == Error::kOk) {
    (void)portmap_exchanges_finish({&ask.exchange});
  }
  PortmapGrant grant = portmap_ask_grant(ask);
  // 0.0.0.0 says the gateway has no external address yet.
  if (grant.error == Error::kOk && !portmap_external_usable(grant.external_address)) {
    grant.error = Error::kPortmapBadAddress;
  }
  return grant;
}
