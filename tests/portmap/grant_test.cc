// The requests as the gateway reads them, and what its success grants: answers from a
// server on loopback, through natpmp_map and pcp_map as the commands call them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "portmap/natpmp.h"
#include "portmap/pcp.h"
#include "portmap/wire.h"
#include "tests/support/loopback_server.h"

namespace {

struct MapRequestCase {
  const char* name;
  const char* client;
  bool any_port;
  uint32_t lifetime;
  WireAddress suggested;
  bool prefer_failure;
};

class PcpMapRequestTest : public testing::TestWithParam<MapRequestCase> {};

TEST_P(PcpMapRequestTest, SuggestsNoAddressAndPrefersFailureOnlyForThePortWanted) {
  const MapRequestCase& c = GetParam();
  PortmapRequest request{kIpProtocolTcp, c.client, 22, 2222, c.lifetime, c.any_port};
  const Bytes encoded = pcp_encode_map(pcp_map_request(request, c.client, PcpNonce{}));
  ASSERT_GE(encoded.size(), 60u);
  WireAddress suggested{};
  std::copy(encoded.begin() + 44, encoded.begin() + 60, suggested.begin());
  EXPECT_EQ(suggested, c.suggested);
  const Bytes prefer{kPcpOptionPreferFailure, 0, 0, 0};
  EXPECT_EQ(encoded.size(), c.prefer_failure ? 64u : 60u);
  if (c.prefer_failure) {
    EXPECT_EQ(Bytes(encoded.begin() + 60, encoded.end()), prefer);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PcpMapRequestTest,
    testing::Values(
        MapRequestCase{"v4_add", "192.168.1.10", false, 7200, wire_address_v4(0, 0, 0, 0), true},
        MapRequestCase{"v4_any_port", "192.168.1.10", true, 7200, wire_address_v4(0, 0, 0, 0),
                       false},
        MapRequestCase{"v4_delete", "192.168.1.10", false, 0, wire_address_v4(0, 0, 0, 0), false},
        MapRequestCase{"v6_add", "2001:db8::10", false, 7200, WireAddress{}, true},
        MapRequestCase{"v6_any_port", "2001:db8::10", true, 7200, WireAddress{}, false}),
    [](const testing::TestParamInfo<MapRequestCase>& info) {
      return std::string(info.param.name);
    });

void put16(std::string* out, size_t at, uint32_t value) {
  (*out)[at] = static_cast<char>(value >> 8);
  (*out)[at + 1] = static_cast<char>(value);
}

void put32(std::string* out, size_t at, uint32_t value) {
  put16(out, at, value >> 16);
  put16(out, at + 2, value & 0xffff);
}

struct GrantCase {
  const char* name;
  bool pcp;
  uint32_t asked;  // the request's lifetime: 0 deletes
  uint32_t lifetime;
  uint16_t port;
  WireAddress address;  // PCP's answer names it; NAT-PMP's map answer does not
  Error error;
};

/// The server's success to `request`, granting the case's lifetime, port and address.
std::string success(const GrantCase& c, const std::string& request) {
  if (!c.pcp) {
    std::string answer(16, '\0');
    answer[1] = static_cast<char>(request[1] + 128);
    put32(&answer, 4, 1000);
    answer[8] = request[4];  // the internal port
    answer[9] = request[5];
    put16(&answer, 10, c.port);
    put32(&answer, 12, c.lifetime);
    return answer;
  }
  std::string answer = request.substr(0, 60);  // options are not answered here
  answer[1] = static_cast<char>(answer[1] | 0x80);
  put32(&answer, 4, c.lifetime);
  put32(&answer, 8, 1000);
  for (size_t i = 12; i < 24; ++i) answer[i] = 0;
  put16(&answer, 42, c.port);
  answer.replace(44, 16, reinterpret_cast<const char*>(c.address.data()), 16);
  return answer;
}

class GrantTest : public testing::TestWithParam<GrantCase> {};

TEST_P(GrantTest, ASuccessThatHoldsNoUsableMappingIsNoGrant) {
  const GrantCase& c = GetParam();
  LoopbackPortmapServer server(false,
                               [&c](const std::string& request) { return success(c, request); });
  ASSERT_TRUE(server.bound());
  PortmapGateway gateway;
  gateway.address = server.address();
  gateway.source = "127.0.0.1";
  const PortmapRequest request{kIpProtocolTcp, "127.0.0.1", 22, 2222, c.asked, false};
  const PortmapSchedule schedule{{0}, 2000};
  const PortmapGrant grant = c.pcp ? pcp_map(gateway, request, PcpNonce{}, schedule)
                                   : natpmp_map(gateway, request, schedule);
  EXPECT_EQ(grant.error, c.error) << error_name(grant.error);
}

const WireAddress kPublic = wire_address_v4(80, 81, 82, 2);

INSTANTIATE_TEST_SUITE_P(
    Cases, GrantTest,
    testing::Values(
        GrantCase{"natpmp_control", false, 7200, 7200, 2222, {}, Error::kOk},
        GrantCase{"natpmp_lifetime_0", false, 7200, 0, 2222, {}, Error::kPortmapNoLifetime},
        GrantCase{"natpmp_port_0", false, 7200, 7200, 0, {}, Error::kPortmapNoPort},
        GrantCase{"natpmp_delete", false, 0, 0, 0, {}, Error::kOk},
        GrantCase{"pcp_control", true, 7200, 7200, 2222, kPublic, Error::kOk},
        GrantCase{"pcp_lifetime_0", true, 7200, 0, 2222, kPublic, Error::kPortmapNoLifetime},
        GrantCase{"pcp_port_0", true, 7200, 7200, 0, kPublic, Error::kPortmapNoPort},
        GrantCase{"pcp_delete", true, 0, 0, 0, wire_address_v4(0, 0, 0, 0), Error::kOk},
        GrantCase{"pcp_zero", true, 7200, 7200, 2222, wire_address_v4(0, 0, 0, 0),
                  Error::kPortmapBadAddress},
        GrantCase{"pcp_zero_v6", true, 7200, 7200, 2222, WireAddress{}, Error::kPortmapBadAddress},
        GrantCase{"pcp_multicast", true, 7200, 7200, 2222, wire_address_v4(224, 0, 0, 1),
                  Error::kPortmapBadAddress},
        GrantCase{"pcp_loopback", true, 7200, 7200, 2222, wire_address_v4(127, 0, 0, 1),
                  Error::kPortmapBadAddress},
        GrantCase{"pcp_private", true, 7200, 7200, 2222, wire_address_v4(10, 1, 2, 3), Error::kOk},
        GrantCase{"pcp_shared", true, 7200, 7200, 2222, wire_address_v4(100, 64, 0, 1),
                  Error::kOk}),
    [](const testing::TestParamInfo<GrantCase>& info) { return std::string(info.param.name); });

struct UsableCase {
  const char* address;
  bool usable;
};

class ExternalUsableTest : public testing::TestWithParam<UsableCase> {};

TEST_P(ExternalUsableTest, ZeroMulticastBroadcastLoopbackAreNot) {
  EXPECT_EQ(portmap_external_usable(GetParam().address), GetParam().usable);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExternalUsableTest,
    testing::Values(UsableCase{"80.81.82.2", true}, UsableCase{"192.168.1.1", true},
                    UsableCase{"100.64.0.1", true}, UsableCase{"2001:db8::1", true},
                    UsableCase{"0.0.0.0", false}, UsableCase{"0.1.2.3", false},
                    UsableCase{"127.0.0.1", false}, UsableCase{"239.255.255.250", false},
                    UsableCase{"255.255.255.255", false}, UsableCase{"::", false},
                    UsableCase{"::1", false}, UsableCase{"ff02::1", false}, UsableCase{"", false}));

struct AddressCase {
  const char* name;
  uint8_t first;  // of the address answered: first.0.0.1
  Error error;
};

class ExternalAddressTest : public testing::TestWithParam<AddressCase> {};

TEST_P(ExternalAddressTest, AnUnusableOneIsNotTheRouters) {
  const uint8_t first = GetParam().first;
  LoopbackPortmapServer server(false, [first](const std::string&) {
    return std::string{0,
                       static_cast<char>(128),
                       0,
                       0,
                       0,
                       0,
                       0,
                       9,
                       static_cast<char>(first),
                       0,
                       0,
                       static_cast<char>(first == 0 ? 0 : 1)};
  });
  ASSERT_TRUE(server.bound());
  PortmapGateway gateway;
  gateway.address = server.address();
  EXPECT_EQ(natpmp_external_address(gateway, {{0}, 2000}).error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExternalAddressTest,
                         testing::Values(AddressCase{"control", 80, Error::kOk},
                                         AddressCase{"zero", 0, Error::kPortmapBadAddress},
                                         AddressCase{"multicast", 224, Error::kPortmapBadAddress}),
                         [](const testing::TestParamInfo<AddressCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
