// The stepped exchange: its schedule kept whoever steps it, and the blocking call a loop
// over the same steps. (Answers, good and bad, come from the lab's fake server:
// tests/lab/test_portmap.py.)
#include "portmap/exchange.h"

#include <gtest/gtest.h>

#include "base/clock.h"

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

}  // namespace
