#include "net/socket.h"

#include <gtest/gtest.h>

#include <chrono>

#include "base/budget.h"
#include "tests/support/error_print.h"
#include "tests/support/loopback_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(Socket, VersionRule) {
  // The word as the library reports it: major in the low byte, minor in the high one.
  EXPECT_TRUE(net_version_ok(0x0202));   // 2.2
  EXPECT_TRUE(net_version_ok(0x0003));   // 3.0
  EXPECT_FALSE(net_version_ok(0x0102));  // 2.1
  EXPECT_FALSE(net_version_ok(0x0101));  // 1.1
  EXPECT_FALSE(net_version_ok(0x0201));  // 1.2, not 2.1 read backwards
  // This platform's own library passes, and every socket takes its start-up.
  Socket socket;
  EXPECT_EQ(udp_open(&socket), Error::kOk);
}

TEST(Socket, ConnectToClosedPortFailsInTimeAndLeavesNothingOpen) {
  int before = open_descriptor_count();
  Socket handle;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(tcp_connect(&handle, "127.0.0.1", closed_loopback_port(), 1),
            Error::kSocketConnectFailed);
  EXPECT_LT(seconds_since(start), 1.5);
  EXPECT_EQ(handle.get(), nullptr);
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST(Socket, UnresolvableHostFailsBeforeAnyTraffic) {
  Socket handle;
  int before = open_descriptor_count();
  EXPECT_EQ(tcp_connect(&handle, "no such host.invalid", 80, 1), Error::kSocketNoResolve);
  EXPECT_EQ(open_descriptor_count(), before);
  ASSERT_EQ(udp_open(&handle), Error::kOk);
  EXPECT_EQ(udp_send_to(handle.get(), "", 1900, "x", 1), Error::kSocketNoResolve);
  handle.reset();
}

TEST(Socket, WaitTellsWhichIsReadyAndReceiveTakesWhatCame) {
  LoopbackServer server({{"hello", 0, false}, {"", 1500, false}});
  Socket talks, silent;
  ASSERT_EQ(tcp_connect(&talks, "127.0.0.1", server.port(), 1), Error::kOk);
  ASSERT_EQ(tcp_connect(&silent, "127.0.0.1", server.port(), 1), Error::kOk);
  char buffer[64];
  size_t got = 0;
  bool closed = false;
  // Nothing there yet on a socket that was not waited for: no bytes, no close, no wait.
  EXPECT_EQ(tcp_receive_some(silent.get(), buffer, sizeof(buffer), &got, &closed), Error::kOk);
  EXPECT_EQ(got, 0u);
  EXPECT_FALSE(closed);

  std::vector<SocketWait> waits{{talks.get(), false, false}, {silent.get(), false, false}};
  std::string heard;
  // The first peer sends at once and closes: its bytes, then its close; the other waits.
  for (int i = 0; i < 10 && !closed; ++i) {
    ASSERT_EQ(socket_wait_any(&waits, 1000), Error::kOk);
    ASSERT_TRUE(waits[0].ready);
    EXPECT_EQ(tcp_receive_some(talks.get(), buffer, sizeof(buffer), &got, &closed), Error::kOk);
    heard.append(buffer, got);
  }
  EXPECT_EQ(heard, "hello");
  EXPECT_TRUE(closed);

  // The silent one: not ready within a short wait, which lasts its whole time.
  waits = {{silent.get(), false, false}};
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(socket_wait_any(&waits, 300), Error::kOk);
  EXPECT_FALSE(waits[0].ready);
  EXPECT_GE(seconds_since(start), 0.25);

  // A spent run budget ends every wait at once: well before the 3 s asked, with room for
  // a busy machine.
  run_budget_start(0);
  const Clock::time_point spent = Clock::now();
  ASSERT_EQ(socket_wait_any(&waits, 3000), Error::kOk);
  EXPECT_FALSE(waits[0].ready);
  EXPECT_LT(seconds_since(spent), 1.5);
  run_budget_clear();
}

TEST(Socket, SendToAGonePeerFailsWithoutEndingTheProcess) {
  LoopbackServer server({{"", 0, false}});
  Socket handle;
  ASSERT_EQ(tcp_connect(&handle, "127.0.0.1", server.port(), 1), Error::kOk);
  size_t sent = 1;
  EXPECT_EQ(tcp_send_some(handle.get(), "", 0, &sent), Error::kOk);
  EXPECT_EQ(sent, 0u);
  std::vector<SocketWait> waits{{handle.get(), false, false}};
  socket_wait_any(&waits, 2000);  // the close
  std::string big(1 << 20, 'x');
  Error code = Error::kOk;
  for (int i = 0; i < 64 && code == Error::kOk; ++i) {
    code = tcp_send_some(handle.get(), big.data(), big.size(), &sent);
    waits = {{handle.get(), true, false}};
    socket_wait_any(&waits, 100);
  }
  EXPECT_EQ(code, Error::kSocketSendFailed);  // and no SIGPIPE ended the test
  handle.reset();
}

TEST(Socket, UdpRoundTripAndSilentWait) {
  LoopbackUdpEcho echo(2);
  Socket handle;
  ASSERT_EQ(udp_open(&handle), Error::kOk);
  char buffer[16];
  size_t got = 0;
  std::string sender;
  // A send of nothing succeeds at once; then one datagram there and back.
  EXPECT_EQ(udp_send_to(handle.get(), "127.0.0.1", echo.port(), "", 0), Error::kOk);
  ASSERT_EQ(udp_send_to(handle.get(), "127.0.0.1", echo.port(), "M-SEARCH", 8), Error::kOk);
  EXPECT_EQ(udp_receive(handle.get(), buffer, sizeof(buffer), &got, &sender, 2000), Error::kOk);
  EXPECT_EQ(sender, "127.0.0.1");
  EXPECT_EQ(std::string(buffer, got), "M-SEARCH");
  // A datagram longer than the buffer arrives cut to it.
  ASSERT_EQ(udp_send_to(handle.get(), "127.0.0.1", echo.port(), "HTTP/1.1 200 OK", 15), Error::kOk);
  EXPECT_EQ(udp_receive(handle.get(), buffer, 4, &got, &sender, 2000), Error::kOk);
  EXPECT_EQ(std::string(buffer, got), "HTTP");
  // Nothing more arrives: 0 bytes and no error after the wait.
  Clock::time_point start = Clock::now();
  EXPECT_EQ(udp_receive(handle.get(), buffer, sizeof(buffer), &got, &sender, 1000), Error::kOk);
  EXPECT_EQ(got, 0u);
  EXPECT_GE(seconds_since(start), 0.9);
  handle.reset();
}

TEST(Socket, LocalAddressOfAConnection) {
  LoopbackServer server({{"", 0, false}});
  Socket handle;
  ASSERT_EQ(tcp_connect(&handle, "localhost", server.port(), 1), Error::kOk);
  std::string address;
  EXPECT_EQ(socket_local_address(handle.get(), &address), Error::kOk);
  EXPECT_EQ(address, "127.0.0.1");
  handle.reset();
}

TEST(Socket, AddressTexts) {
  EXPECT_TRUE(socket_address_valid("192.168.1.20"));
  EXPECT_TRUE(socket_address_valid("0.0.0.0"));
  EXPECT_TRUE(socket_address_valid("10.1"));
  EXPECT_FALSE(socket_address_valid("255.255.255.255"));
  EXPECT_FALSE(socket_address_valid("256.1.1.1"));
  EXPECT_FALSE(socket_address_valid("router"));
  EXPECT_FALSE(socket_address_valid(""));
}

}  // namespace
