#include "portmap/exchange.h"

#include <gtest/gtest.h>

namespace {

struct RetransmitCase {
  bool pcp;
  int tries_or_previous;  // NAT-PMP: the tries made; PCP: the wait before, 0 for none
  double rand;
  int wait_ms;
};

class RetransmitTest : public testing::TestWithParam<RetransmitCase> {};

TEST_P(RetransmitTest, FollowsTheProtocolsSchedule) {
  const RetransmitCase& c = GetParam();
  EXPECT_EQ(c.pcp ? pcp_retransmit_ms(c.tries_or_previous, c.rand)
                  : natpmp_retransmit_ms(c.tries_or_previous),
            c.wait_ms);
}

INSTANTIATE_TEST_SUITE_P(Natpmp, RetransmitTest,
                         testing::Values(RetransmitCase{false, 1, 0, 250},    // after the first try
                                         RetransmitCase{false, 2, 0, 500},    // doubling
                                         RetransmitCase{false, 8, 0, 32000},  //
                                         RetransmitCase{false, 9, 0, 64000},  // after the ninth
                                         RetransmitCase{false, 30, 0,
                                                        64000}));  // and on at that pace

INSTANTIATE_TEST_SUITE_P(
    Pcp, RetransmitTest,
    testing::Values(RetransmitCase{true, 0, 0, 3000},             // IRT
                    RetransmitCase{true, 0, 0.1, 3300},           // RAND at its ends
                    RetransmitCase{true, 0, -0.1, 2700},          //
                    RetransmitCase{true, 3300, 0, 6600},          // twice the wait before
                    RetransmitCase{true, 600000, 0, 1024000},     // MRT
                    RetransmitCase{true, 1126400, 0.1, 1126400},  // MRT with RAND
                    RetransmitCase{true, 1126400, -0.1, 921600}));

TEST(Retransmit, RandStaysWithinATenth) {
  for (int i = 0; i < 1000; ++i) {
    const double rand = pcp_retransmit_rand();
    ASSERT_GE(rand, -0.1);
    ASSERT_LE(rand, 0.1);
  }
}

}  // namespace
