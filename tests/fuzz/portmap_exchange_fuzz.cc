// A NAT-PMP or PCP exchange with a gateway that answers whatever the input says, from
// where and when it says, on the scripted socket's clock: the sends stay within the
// schedule, the exchange is over by its end, and what it reports as the gateway's
// answer answers the request (its opcode, protocol and internal port, PCP's nonce).
//
// The input: a mode byte (NAT-PMP map, PCP map, NAT-PMP external address, PCP
// announce), a flag byte, the internal and external ports, the nonce (12 bytes), then
// datagrams: a 16-bit wait in ms after the one before, a source byte, a length byte and
// that many bytes.
#include <algorithm>
#include <cstring>

#include "base/retry.h"
#include "portmap/natpmp.h"
#include "portmap/pcp.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_datagrams.h"

namespace {

uint16_t u16_at(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) << 8 |
                               static_cast<uint8_t>(bytes[at + 1]));
}

/// What a map's answer must hold, read from the bytes accepted, apart from the parser.
void check_map_answer(bool pcp, const PortmapRequest& request, const PcpNonce& nonce,
                      const PortmapGrant& grant) {
  if (!portmap_answered(grant.error)) return;
  const std::string answer = scripted_last_received();
  FUZZ_CHECK(answer.size() >= 4);
  if (grant.error == Error::kPortmapNatpmpOnly) {
    FUZZ_CHECK(pcp && answer[0] == 0);
    return;
  }
  if (!pcp) {
    const uint8_t opcode = request.protocol == kIpProtocolUdp ? kNatpmpOpMapUdp : kNatpmpOpMapTcp;
    FUZZ_CHECK(answer[0] == 0 && static_cast<uint8_t>(answer[1]) == opcode + 128);
    if (answer.size() >= 16) FUZZ_CHECK(u16_at(answer, 8) == request.internal_port);
    if (grant.error == Error::kOk) FUZZ_CHECK(answer.size() == 16);
    return;
  }
  FUZZ_CHECK(answer.size() >= 60 && answer[0] == kPcpVersion);
  FUZZ_CHECK(static_cast<uint8_t>(answer[1]) == (kPcpOpMap | 0x80));
  FUZZ_CHECK(std::memcmp(answer.data() + 24, nonce.data(), nonce.size()) == 0);
  FUZZ_CHECK(static_cast<uint8_t>(answer[36]) == request.protocol);
  FUZZ_CHECK(u16_at(answer, 40) == request.internal_port);
}

/// A success granted to an add is a mapping a host can use.
void check_grant(const PortmapRequest& request, const PortmapGrant& grant) {
  if (grant.error != Error::kOk || request.lifetime == 0) return;
  FUZZ_CHECK(grant.result == 0 && grant.lifetime > 0);
  FUZZ_CHECK(grant.external_port != 0 || request.internal_port == 0);
  if (!grant.external_address.empty()) {
    FUZZ_CHECK(portmap_external_usable(grant.external_address));
  }
}

PortmapGrant ask(int mode, const PortmapGateway& gateway, const PortmapRequest& request,
                 const PcpNonce& nonce, const PortmapSchedule& schedule) {
  switch (mode) {
    case 0:
      return natpmp_map(gateway, request, schedule);
    case 1:
      return pcp_map(gateway, request, nonce, schedule);
    case 2:
      return natpmp_external_address(gateway, schedule);
    default: {
      PortmapAsk announce;
      if (pcp_announce_start(gateway, schedule, &announce) == Error::kOk) {
        (void)portmap_exchanges_finish({&announce.exchange});
      }
      return portmap_ask_grant(announce);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const int mode = in.byte() % 4;
  const uint8_t flags = in.byte();
  PortmapRequest request;
  request.protocol = (flags & 1) != 0 ? kIpProtocolUdp : kIpProtocolTcp;
  request.lifetime = (flags & 2) != 0 ? 0 : 7200;
  request.any_port = (flags & 4) != 0;
  request.internal_address = (flags & 8) != 0 ? "192.168.1.20" : kFuzzSource;
  request.internal_port = in.u16();
  request.external_port = in.u16();
  PcpNonce nonce{};
  for (uint8_t& byte : nonce) byte = in.byte();
  const bool pcp = mode == 1 || mode == 3;
  PortmapSchedule schedule = pcp ? pcp_one_shot_schedule() : natpmp_one_shot_schedule();
  // A schedule cut short, as a one-shot command's end cuts it.
  if ((flags & 16) != 0) schedule = portmap_schedule_within(schedule, in.u16());
  scripted_datagrams(fuzz_datagrams(&in));

  PortmapGateway gateway;
  gateway.address = kFuzzGateway;
  gateway.source = kFuzzSource;
  const PortmapGrant grant = ask(mode, gateway, request, nonce, schedule);

  FUZZ_CHECK(scripted_sends() >= 1);
  FUZZ_CHECK(static_cast<size_t>(scripted_sends()) <= std::max<size_t>(schedule.send_at.size(), 1));
  FUZZ_CHECK(scripted_now_ms() <= schedule.give_up_at);
  if (mode <= 1) {
    check_map_answer(pcp, request, nonce, grant);
    check_grant(request, grant);
  } else if (grant.error == Error::kOk) {
    const std::string answer = scripted_last_received();
    FUZZ_CHECK(answer.size() >= 8 && static_cast<uint8_t>(answer[1]) == 0x80);
    if (mode == 2) FUZZ_CHECK(portmap_external_usable(grant.external_address));
  }
  return 0;
}
