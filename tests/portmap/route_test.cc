#include "portmap/route.h"

#include <gtest/gtest.h>

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

}  // namespace
