// The stepped exchange: its schedule kept whoever steps it, and the blocking call a loop
// over the same steps; the retransmission waits of a held mapping. (Answers, good and bad, come
// from the lab's fake server: tests/lab/test_portmap.py.)
#include "portmap/exchange.h"

#include <gtest/gtest.h>

#include "base/clock.h"
#include "tests/support/loopback_server.h"

namespace {

const Bytes kRequest = {2, 0, 0, 0};

WireCheck take_nothing(const uint8_t*, size_t) {
  return WireCheck::kBadLength;
}

TEST(PortmapExchange, StepsKeepTheSchedule) {
  // Nothing listens on loopback's 5351 for this test: no answer comes.
  PortmapExchange exchange;
  const long long start = clock_ms();
  ASSERT_EQ(
      portmap_exchange_start("127.0.0.1", kRequest, {{0, 100, 200}, 300}, take_nothing, &exchange),
      Error::kOk);
  EXPECT_FALSE(exchange.done);
  EXPECT_EQ(exchange.sent, 1u);  // the first send goes with the start
  EXPECT_GT(portmap_exchange_left_ms(exchange), 0);
  EXPECT_LE(portmap_exchange_left_ms(exchange), 100);
  // A step before its time sends nothing more.
  portmap_exchange_step(&exchange);
  EXPECT_EQ(exchange.sent, 1u);
  EXPECT_EQ(portmap_exchanges_finish({&exchange}), Error::kOk);
  const long long spent = clock_ms() - start;
  EXPECT_TRUE(exchange.done);
  EXPECT_EQ(exchange.result, Error::kPortmapNoAnswer);
  EXPECT_EQ(exchange.sent, 3u);
  EXPECT_GE(spent, 300);
  EXPECT_LT(spent, 300 * 2 + 1000);  // a loaded machine
  EXPECT_GE(exchange.answer_ms, 300);
  EXPECT_EQ(exchange.socket, nullptr);  // closed once done
}

TEST(PortmapExchange, OneWaitFinishesSeveral) {
  PortmapExchange short_one, long_one;
  ASSERT_EQ(portmap_exchange_start("127.0.0.1", kRequest, {{0}, 100}, take_nothing, &short_one),
            Error::kOk);
  ASSERT_EQ(portmap_exchange_start("127.0.0.1", kRequest, {{0, 150}, 300}, take_nothing, &long_one),
            Error::kOk);
  const long long start = clock_ms();
  EXPECT_EQ(portmap_exchanges_finish({&short_one, &long_one}), Error::kOk);
  // Side by side: the longer schedule's time, not the sum.
  EXPECT_LT(clock_ms() - start, 300 * 2 + 1000);
  EXPECT_EQ(short_one.sent, 1u);
  EXPECT_EQ(long_one.sent, 2u);
  EXPECT_LT(short_one.answer_ms, long_one.answer_ms);
  // The blocking call gives what its steps gave.
  EXPECT_EQ(portmap_exchange("127.0.0.1", kRequest, {{0}, 50}, take_nothing),
            Error::kPortmapNoAnswer);
}

TEST(PortmapExchange, AnAskIsReadOnlyOnceDone) {
  PortmapAsk ask;
  ASSERT_EQ(portmap_exchange_start("127.0.0.1", kRequest, {{0}, 5000}, take_nothing, &ask.exchange),
            Error::kOk);
  ask.grant.result = 0;
  EXPECT_EQ(portmap_ask_grant(ask).error, Error::kPortmapNoAnswer);  // under way
  ask.exchange.done = true;
  ask.exchange.result = Error::kOk;
  EXPECT_EQ(portmap_ask_grant(ask).error, Error::kOk);  // the control
  PortmapGrant grant;
  grant.result = 0;
  EXPECT_EQ(portmap_grant_of(Error::kOk, false, grant).error, Error::kOk);
  EXPECT_EQ(portmap_grant_of(Error::kOk, true, grant).error, Error::kPortmapNatpmpOnly);
  EXPECT_EQ(portmap_grant_of(Error::kPortmapNoAnswer, true, grant).error, Error::kPortmapNoAnswer);
  grant.result = 2;
  EXPECT_EQ(portmap_grant_of(Error::kOk, false, grant).error, Error::kPortmapRefused);
}

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

struct SameCase {
  const char* sender;
  const char* gateway;
  bool same;
};

class SameAddressTest : public testing::TestWithParam<SameCase> {};

TEST_P(SameAddressTest, ComparesAddressesNotTexts) {
  EXPECT_EQ(net_same_address(GetParam().sender, GetParam().gateway), GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(Cases, SameAddressTest,
                         testing::Values(SameCase{"::1", "0:0:0:0:0:0:0:1", true},
                                         SameCase{"::1", "::1", true},  // the control
                                         SameCase{"::ffff:127.0.0.1", "127.0.0.1", true},
                                         SameCase{"192.168.1.1", "::FFFF:192.168.1.1", true},
                                         SameCase{"fe80::1%3", "FE80:0::1%3", true},
                                         SameCase{"::1", "::2", false},
                                         SameCase{"::ffff:127.0.0.1", "127.0.0.2", false},
                                         SameCase{"192.168.1.1", "192.168.1.10", false}));

WireCheck take_anything(const uint8_t*, size_t) {
  return WireCheck::kOk;
}

struct SourceCase {
  const char* gateway;  // as --gateway writes it; null: the IPv4 server's own address
  bool v6;              // the server's family: ::1, else an IPv4 loopback address
};

class SourceTest : public testing::TestWithParam<SourceCase> {};

TEST_P(SourceTest, AnAnswerFromTheGatewayWrittenAnotherWayIsTaken) {
  LoopbackPortmapServer server(GetParam().v6, [](const std::string& request) { return request; });
  if (!server.bound()) {
    GTEST_SKIP() << "port 5351 of this loopback cannot be bound (no IPv6, or in use)";
  }
  const std::string gateway = GetParam().gateway != nullptr ? GetParam().gateway : server.address();
  EXPECT_EQ(portmap_exchange(gateway, kRequest, {{0}, 2000}, take_anything), Error::kOk);
}

INSTANTIATE_TEST_SUITE_P(Cases, SourceTest,
                         testing::Values(SourceCase{nullptr, false},  // the controls
                                         SourceCase{"::1", true},
                                         SourceCase{"0:0:0:0:0:0:0:1", true},
                                         SourceCase{"0000::0001", true}));

TEST(PortmapExchange, EndsByItsDeadline) {
  const PortmapSchedule full = natpmp_one_shot_schedule();
  EXPECT_EQ(portmap_schedule_by(full, Deadline()).give_up_at, full.give_up_at);  // the control
  const long long start = clock_ms();
  const PortmapSchedule cut = portmap_schedule_by(full, deadline_in(300));
  EXPECT_EQ(portmap_exchange("127.0.0.1", kRequest, cut, take_nothing), Error::kPortmapNoAnswer);
  EXPECT_LT(clock_ms() - start, 300 + 1000);  // a loaded machine, but not the 7.75 s
  // A spent deadline sends the request once and waits for nothing.
  PortmapExchange exchange;
  ASSERT_EQ(portmap_exchange_start("127.0.0.1", kRequest,
                                   portmap_schedule_by(full, Deadline{clock_ms() - 1}),
                                   take_nothing, &exchange),
            Error::kOk);
  EXPECT_TRUE(exchange.done);
  EXPECT_EQ(exchange.sent, 1u);
  EXPECT_EQ(exchange.result, Error::kPortmapNoAnswer);
}

struct WithinCase {
  int ms_left;
  std::vector<int> send_at;
  int give_up_at;
};

class WithinTest : public testing::TestWithParam<WithinCase> {};

TEST_P(WithinTest, KeepsWhatFitsTheTimeLeft) {
  const PortmapSchedule cut =
      portmap_schedule_within({{0, 250, 750, 1750, 3750}, 7750}, GetParam().ms_left);
  EXPECT_EQ(cut.send_at, GetParam().send_at);
  EXPECT_EQ(cut.give_up_at, GetParam().give_up_at);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WithinTest,
    testing::Values(WithinCase{10000, {0, 250, 750, 1750, 3750}, 7750},  // the control
                    WithinCase{1000, {0, 250, 750}, 1000},
                    WithinCase{750, {0, 250}, 750},  // no send at the very end
                    // No time left: the first send alone, unanswered.
                    WithinCase{0, {0}, 0}, WithinCase{-5, {0}, 0}));

TEST(Backoff, OneShotNatpmpIsTheRetransmissionsFirstFive) {
  const PortmapSchedule schedule = natpmp_one_shot_schedule();
  EXPECT_EQ(schedule.send_at, (std::vector<int>{0, 250, 750, 1750, 3750}));
  EXPECT_EQ(schedule.give_up_at, 7750);
}

struct KeepCase {
  int failures;
  int wait_ms;
};

class KeepBackoffTest : public testing::TestWithParam<KeepCase> {};

TEST_P(KeepBackoffTest, DoublesToAMinute) {
  EXPECT_EQ(keep_backoff_ms(GetParam().failures), GetParam().wait_ms);
}

INSTANTIATE_TEST_SUITE_P(Cases, KeepBackoffTest,
                         testing::Values(KeepCase{1, 1000}, KeepCase{2, 2000}, KeepCase{6, 32000},
                                         KeepCase{7, 60000}, KeepCase{40, 60000}));

}  // namespace
