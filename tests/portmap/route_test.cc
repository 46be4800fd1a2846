#include "portmap/route.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "net/socket.h"

namespace {

const char kTable[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
    "lan0\t00000000\t014DA8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
    "vpn0\t00000000\t0100080A\t0003\t0\t0\t50\t00000000\t0\t0\t0\n"
    "lan0\t004DA8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
    "down0\t00000000\t0101A8C0\t0002\t0\t0\t1\t00000000\t0\t0\t0\n"
    "bad\tzz\n";

TEST(Route, DefaultRoutesAreReadFromTheKernelsTable) {
  const std::vector<DefaultRoute> routes = route_parse_proc(kTable);
  ASSERT_EQ(routes.size(), 2u);  // the LAN's own route and a route that is down are not
  EXPECT_EQ(routes[0].interface_name, "lan0");
  EXPECT_EQ(routes[0].gateway, "192.168.77.1");
  EXPECT_EQ(routes[1].gateway, "10.8.0.1");
}

struct ChooseCase {
  const char* interface_name;
  const char* gateway;  // nullptr: none
};

class RouteChoose : public testing::TestWithParam<ChooseCase> {};

TEST_P(RouteChoose, TakesTheLowestMetricOfTheInterface) {
  const std::vector<DefaultRoute> routes = route_parse_proc(kTable);
  const DefaultRoute* route = route_choose(routes, GetParam().interface_name);
  if (GetParam().gateway == nullptr) {
    EXPECT_EQ(route, nullptr);
  } else {
    ASSERT_NE(route, nullptr);
    EXPECT_EQ(route->gateway, GetParam().gateway);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RouteChoose,
                         testing::Values(ChooseCase{"", "10.8.0.1"},
                                         ChooseCase{"lan0", "192.168.77.1"},
                                         ChooseCase{"eth9", nullptr}));

// /proc/net/ipv6_route: destination, its length, source, its length, next hop, metric,
// references, use, flags, interface.
const char kTable6[] =
    "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
    "20010db8007700000000000000000001 00000400 00000001 00000000 00000003     lan0\n"
    "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
    "fe800000000000000000000000000001 00000100 00000001 00000000 00000003     vpn0\n"
    "20010db8007700000000000000000000 40 00000000000000000000000000000000 00 "
    "00000000000000000000000000000000 00000100 00000001 00000000 00000001     lan0\n"
    "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
    "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n"
    "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
    "20010db8000000000000000000000009 00000001 00000001 00000000 00000002  down0\n"
    "bad zz\n";

TEST(Route, Ipv6DefaultRoutesAreReadFromTheKernelsTable) {
  // Neither the LAN's own route, nor the unreachable default, nor one that is down.
  const std::vector<DefaultRoute> routes = route_parse_proc6(kTable6);
  ASSERT_EQ(routes.size(), 2u);
  EXPECT_EQ(routes[0].interface_name, "lan0");
  EXPECT_EQ(routes[0].gateway, "2001:db8:77::1");
  EXPECT_EQ(routes[0].metric, 1024u);
  EXPECT_EQ(routes[1].gateway, "fe80::1");  // its zone is the platform's to add
  EXPECT_EQ(route_choose(routes, "")->gateway, "fe80::1");
}

struct OrderCase {
  const char* hex;  // the Gateway field
  bool little_endian;
  const char* gateway;
};

class RouteByteOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(RouteByteOrder, ReadsTheAddressInTheWritersOrder) {
  const std::string table = std::string(
                                "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
                                "lan0\t00000000\t") +
                            GetParam().hex + "\t0003\t0\t0\t100\t00000000\n";
  const std::vector<DefaultRoute> routes = route_parse_proc(table, GetParam().little_endian);
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_EQ(routes[0].gateway, GetParam().gateway);
}

INSTANTIATE_TEST_SUITE_P(Cases, RouteByteOrder,
                         testing::Values(OrderCase{"014DA8C0", true, "192.168.77.1"},
                                         OrderCase{"C0A84D01", false, "192.168.77.1"},
                                         OrderCase{"014DA8C0", false, "1.77.168.192"},
                                         OrderCase{"C0A84D01", true, "1.77.168.192"}));

TEST(Route, TheHostsOrderIsTheDefault) {
  const uint32_t word = 0x0a000001;  // 10.0.0.1 as a number
  char hex[9];
  std::snprintf(hex, sizeof(hex), "%08X", static_cast<unsigned>(word));
  uint8_t bytes[4];
  std::memcpy(bytes, &word, 4);
  // Read back in the host's order, the number's memory is the address's bytes.
  const std::string table =
      std::string("Iface\n") + "lan0\t00000000\t" + hex + "\t0003\t0\t0\t1\t00000000\n";
  const std::vector<DefaultRoute> routes = route_parse_proc(table);
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_EQ(routes[0].gateway, std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
                                   std::to_string(bytes[2]) + "." + std::to_string(bytes[3]));
}

struct LinkLocalCase {
  const char* address;
  bool link_local;
};

class LinkLocal : public testing::TestWithParam<LinkLocalCase> {};

TEST_P(LinkLocal, IsFe80Slash10) {
  EXPECT_EQ(net_address_link_local(GetParam().address), GetParam().link_local);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkLocal,
    testing::Values(LinkLocalCase{"fe80::1", true}, LinkLocalCase{"febf::1", true},
                    LinkLocalCase{"FEA0::1%3", true}, LinkLocalCase{"fe80:0:0:0:0:0:0:1", true},
                    LinkLocalCase{"fec0::1", false}, LinkLocalCase{"fe7f::1", false},
                    LinkLocalCase{"2001:db8::1", false}, LinkLocalCase{"fe80.example", false},
                    LinkLocalCase{"192.168.1.1", false}));

}  // namespace
