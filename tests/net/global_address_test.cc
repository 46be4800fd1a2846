// The address a pinhole is for: beside a link-local source, the global address of the
// same interface, over the interfaces the platform lists (scripted).
#include <gtest/gtest.h>

#include "net/socket.h"
#include "tests/support/error_print.h"
#include "tests/support/scripted_socket.h"

namespace {

struct Beside {
  const char* local;
  std::vector<NetInterface> listed;
  Error error;
  const char* global;
};

TEST(Socket, GlobalAddressBesideTheSource) {
  const NetInterface lan_link{"lan0", "fe80::2", 3}, lan_global{"lan0", "2001:db8:77::2", 3},
      lan_unique{"lan0", "fd00:77::2", 3}, vpn_link{"vpn0", "fe80::2", 4},
      vpn_global{"vpn0", "2001:db8:99::2", 4}, lan_v4{"lan0", "192.168.77.2", 3};
  const Beside cases[] = {
      // Not link-local: the address itself, zone or not.
      {"2001:db8:77::2", {lan_link}, Error::kOk, "2001:db8:77::2"},
      {"2001:db8:77::2%3", {}, Error::kOk, "2001:db8:77::2"},
      {"192.168.77.2", {}, Error::kOk, "192.168.77.2"},
      // Link-local with its zone: that interface's global address, before a unique-local
      // one wherever the platform lists it, and never the link-local one (control).
      {"fe80::2%3", {lan_link, lan_global, lan_v4}, Error::kOk, "2001:db8:77::2"},
      {"fe80::2%3", {lan_unique, lan_link, lan_global}, Error::kOk, "2001:db8:77::2"},
      {"fe80::2%3", {lan_link, lan_unique}, Error::kOk, "fd00:77::2"},
      // Another interface's global address is not this one's.
      {"fe80::2%3", {vpn_global, lan_link, vpn_link}, Error::kSocketNoGlobalIpv6, ""},
      {"fe80::2%4", {lan_global, lan_link, vpn_link, vpn_global}, Error::kOk, "2001:db8:99::2"},
      // No zone: the interface that holds the address.
      {"fe80::2", {vpn_link, vpn_global, lan_link, lan_global}, Error::kOk, "2001:db8:99::2"},
      {"fe80::9", {lan_link, lan_global}, Error::kSocketNoGlobalIpv6, ""},
      {"fe80::2%3", {lan_v4}, Error::kSocketNoGlobalIpv6, ""},
  };
  for (const Beside& c : cases) {
    scripted_interfaces(c.listed);
    std::string global = "unset";
    EXPECT_EQ(net_global_beside(c.local, &global), c.error) << c.local;
    EXPECT_EQ(global, c.error == Error::kOk ? c.global : "unset") << c.local;
  }
  scripted_interfaces({});
}

TEST(Socket, AnInterfaceIsNamedByItsFarthestReachingAddress) {
  scripted_interfaces({{"lan0", "fe80::2", 3},
                       {"lan0", "fd00:77::2", 3},
                       {"wlan0", "fe80::5", 5},
                       {"lan0", "2001:db8:77::2", 3},
                       {"lan0", "2001:db8:77::9", 3}});
  std::vector<NetInterface> interfaces;
  ASSERT_EQ(net_interfaces(&interfaces, true), Error::kOk);
  ASSERT_EQ(interfaces.size(), 2u);
  EXPECT_EQ(interfaces[0].address, "2001:db8:77::2");  // the first global one listed
  EXPECT_EQ(interfaces[1].address, "fe80::5");         // link-local where it has no other
  scripted_interfaces({});
}

}  // namespace
