// A router's text taken into a held set's status file and hooks as an address only when
// it is one.
#include "hold/set.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct RouterAddress {
  const char* text;
  bool address;  // taken as it is; else none
};

class HoldRouterAddress : public ::testing::TestWithParam<RouterAddress> {};

TEST_P(HoldRouterAddress, IsAnAddressAloneOrNone) {
  const std::string text = GetParam().text;
  EXPECT_EQ(hold_router_address(text), GetParam().address ? text : "");
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, HoldRouterAddress,
    ::testing::Values(
        RouterAddress{"203.0.113.9", true}, RouterAddress{"0.0.0.0", true},
        RouterAddress{"255.255.255.255", true}, RouterAddress{"2001:db8::1", true},
        RouterAddress{"::", true}, RouterAddress{"::1", true},
        RouterAddress{"1:2:3:4:5:6:7:8", true}, RouterAddress{"1:2:3:4:5:6:7::", true},
        RouterAddress{"::ffff:192.0.2.1", true}, RouterAddress{"1:2:3:4:5:6:192.0.2.1", true},
        RouterAddress{"FE80::A", true},
        // A LAN device's answer: a line break and shell words after an address.
        RouterAddress{"1.2.3.4\n&calc|$(id)", false}, RouterAddress{"1.2.3.4 ", false},
        RouterAddress{"", false}, RouterAddress{"1.2.3", false}, RouterAddress{"1.2.3.4.5", false},
        RouterAddress{"256.1.1.1", false}, RouterAddress{"01.2.3.4", false},
        RouterAddress{"1..3.4", false}, RouterAddress{"0x1.2.3.4", false},
        RouterAddress{"cafe", false}, RouterAddress{"1:2:3:4:5:6:7:8:9", false},
        RouterAddress{"1:2:3:4:5:6:7", false}, RouterAddress{"1::2::3", false},
        RouterAddress{":::", false}, RouterAddress{":1::2", false}, RouterAddress{"1:2:", false},
        RouterAddress{"12345::1", false}, RouterAddress{"fe80::1%eth0", false},
        RouterAddress{"::ffff:1.2.3", false}, RouterAddress{"1:2:3:4:5:6:7:1.2.3.4", false}));

}  // namespace
