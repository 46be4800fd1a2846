#include "flows/portmap.h"

#include <gtest/gtest.h>

#include "hold/pinhole.h"
#include "hold/portmap.h"

namespace {

struct RenewalCase {
  MapVia via;
  uint32_t lifetime;
  double draw;
  int renew_ms;  // when the loop renews
};

class RenewalTest : public testing::TestWithParam<RenewalCase> {};

TEST_P(RenewalTest, FallsWhereTheProtocolSays) {
  const RenewalCase& c = GetParam();
  EXPECT_EQ(keep_renew_ms(portmap_renewal_lease(c.via, c.lifetime, c.draw)), c.renew_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenewalTest,
    testing::Values(RenewalCase{MapVia::kPcp, 7200, 0.0, 3600000},     // 1/2 of the lifetime
                    RenewalCase{MapVia::kPcp, 7200, 0.5, 4050000},     // between
                    RenewalCase{MapVia::kPcp, 7200, 1.0, 4500000},     // 5/8
                    RenewalCase{MapVia::kNatpmp, 7200, 0.0, 3600000},  // 1/2, whatever
                    RenewalCase{MapVia::kNatpmp, 7200, 1.0, 3600000},  // the draw
                    RenewalCase{MapVia::kPcp, 120, 1.0, 75000},
                    // A VPN gateway's 60 s; the floor of 2 s where it grants less than 4 s.
                    RenewalCase{MapVia::kNatpmp, 60, 0.0, 30000},
                    RenewalCase{MapVia::kNatpmp, 4, 0.0, 2000},  // control: at the floor
                    RenewalCase{MapVia::kNatpmp, 1, 0.0, 2000},
                    RenewalCase{MapVia::kPcp, 2, 1.0, 2000}));

}  // namespace
