// The requests as the gateway reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "portmap/pcp.h"
#include "portmap/wire.h"

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

}  // namespace
