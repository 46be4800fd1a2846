#include "net/socket.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/loopback_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(Socket, VersionRule) {
  // The word as the library reports it: major in the low byte, minor in the high one.
  EXPECT_EQ(net_version_result(0x0202), kOk);                   // 2.2
  EXPECT_EQ(net_version_result(0x0003), kOk);                   // 3.0
  EXPECT_EQ(net_version_result(0x0102), kSocketVersionTooOld);  // 2.1
  EXPECT_EQ(net_version_result(0x0101), kSocketVersionTooOld);  // 1.1
  EXPECT_EQ(net_version_result(0x0201), kSocketVersionTooOld);  // 1.2, not 2.1 read backwards
  // This platform's own library passes, and every socket takes its start-up.
  EXPECT_EQ(net_startup(), kOk);
  SocketHandle* handle = nullptr;
  ASSERT_EQ(udp_open(&handle), kOk);
  socket_close(handle);
}

TEST(Socket, ConnectToClosedPortFailsInTimeAndLeavesNothingOpen) {
  int before = open_descriptor_count();
  SocketHandle* handle = nullptr;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(tcp_connect(&handle, "127.0.0.1", closed_loopback_port(), 1), kSocketConnectFailed);
  EXPECT_LT(seconds_since(start), 1.5);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST(Socket, UnresolvableHostFailsBeforeAnyTraffic) {
  SocketHandle* handle = nullptr;
  int before = open_descriptor_count();
  EXPECT_EQ(tcp_connect(&handle, "no such host.invalid", 80, 1), kSocketNoResolve);
  EXPECT_EQ(open_descriptor_count(), before);
  ASSERT_EQ(udp_open(&handle), 0);
  size_t sent = 99;
  EXPECT_EQ(udp_send_to(handle, "", 1900, "x", 1, &sent), kSocketNoResolve);
  socket_close(handle);
}

TEST(Socket, ReceiveStopsAtCloseSilenceOrCapacity) {
  LoopbackServer server({{"hello", 0, false}, {"partial", 1500, false}, {"abcdefgh", 0, false}});
  SocketHandle* handle = nullptr;
  char buffer[64];
  size_t got = 0;

  // The peer closes after part of the data: what came so far, no error.
  ASSERT_EQ(tcp_connect(&handle, "127.0.0.1", server.port(), 1), 0);
  EXPECT_EQ(tcp_receive(handle, buffer, sizeof(buffer), &got, 2), 0);
  EXPECT_EQ(std::string(buffer, got), "hello");
  socket_close(handle);

  // The peer stays silent: one full wait, then what came.
  ASSERT_EQ(tcp_connect(&handle, "127.0.0.1", server.port(), 1), 0);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(tcp_receive(handle, buffer, sizeof(buffer), &got, 1), 0);
  EXPECT_EQ(std::string(buffer, got), "partial");
  EXPECT_GE(seconds_since(start), 0.9);
  EXPECT_LT(seconds_since(start), 2.5);
  socket_close(handle);

  // Capacity reached: stops there; capacity 0 returns at once without a wait.
  ASSERT_EQ(tcp_connect(&handle, "127.0.0.1", server.port(), 1), 0);
  EXPECT_EQ(tcp_receive(handle, buffer, 0, &got, 5), 0);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(tcp_receive(handle, buffer, 3, &got, 2), 0);
  EXPECT_EQ(std::string(buffer, got), "abc");
  socket_close(handle);
}

TEST(Socket, PeekLeavesTheBytesForTheNextReceive) {
  LoopbackServer server({{"peeked", 1500, false}, {"", 0, false}});
  SocketHandle* handle = nullptr;
  char buffer[64];
  size_t got = 0;

  ASSERT_EQ(tcp_connect(&handle, "127.0.0.1", server.port(), 1), 0);
  EXPECT_EQ(tcp_peek(handle, buffer, 4, &got, 2), 0);
  EXPECT_EQ(std::string(buffer, got), "peek");
  EXPECT_EQ(tcp_peek(handle, buffer, sizeof(buffer), &got, 2), 0);
  EXPECT_EQ(std::string(buffer, got), "peeked");
  EXPECT_EQ(tcp_receive(handle, buffer, 6, &got, 2), 0);
  EXPECT_EQ(std::string(buffer, got), "peeked");
  // Nothing more arrives: one full wait, then nothing.
  Clock::time_point start = Clock::now();
  EXPECT_EQ(tcp_peek(handle, buffer, sizeof(buffer), &got, 1), 0);
  EXPECT_EQ(got, 0u);
  EXPECT_GE(seconds_since(start), 0.9);
  socket_close(handle);

  // The peer closed without a byte: nothing, at once.
  ASSERT_EQ(tcp_connect(&handle, "127.0.0.1", server.port(), 1), 0);
  start = Clock::now();
  EXPECT_EQ(tcp_peek(handle, buffer, sizeof(buffer), &got, 2), 0);
  EXPECT_EQ(got, 0u);
  EXPECT_LT(seconds_since(start), 1.0);
  socket_close(handle);
}

TEST(Socket, SendToAGonePeerFailsWithoutEndingTheProcess) {
  LoopbackServer server({{"", 0, false}});
  SocketHandle* handle = nullptr;
  ASSERT_EQ(tcp_connect(&handle, "127.0.0.1", server.port(), 1), 0);
  size_t sent = 0;
  EXPECT_EQ(tcp_send_all(handle, "", 0, &sent), 0);
  EXPECT_EQ(sent, 0u);
  char buffer[8];
  size_t got = 0;
  tcp_receive(handle, buffer, sizeof(buffer), &got, 2);  // wait for the close
  std::string big(1 << 20, 'x');
  int code = 0;
  for (int i = 0; i < 4 && code == 0; ++i)
    code = tcp_send_all(handle, big.data(), big.size(), &sent);
  EXPECT_EQ(code, kSocketSendFailed);  // and no SIGPIPE ended the test
  socket_close(handle);
}

TEST(Socket, UdpRoundTripAndSilentWait) {
  LoopbackUdpEcho echo(2);
  SocketHandle* handle = nullptr;
  ASSERT_EQ(udp_open(&handle), 0);
  char buffer[16];
  size_t got = 0, sent = 99;
  // A send of nothing succeeds at once; then one datagram there and back.
  EXPECT_EQ(udp_send_to(handle, "127.0.0.1", echo.port(), "", 0, &sent), 0);
  EXPECT_EQ(sent, 0u);
  ASSERT_EQ(udp_send_to(handle, "127.0.0.1", echo.port(), "M-SEARCH", 8, &sent), 0);
  EXPECT_EQ(sent, 8u);
  EXPECT_EQ(udp_receive(handle, buffer, sizeof(buffer), &got, 2), 0);
  EXPECT_EQ(std::string(buffer, got), "M-SEARCH");
  // A datagram longer than the buffer arrives cut to it.
  ASSERT_EQ(udp_send_to(handle, "127.0.0.1", echo.port(), "HTTP/1.1 200 OK", 15, &sent), 0);
  EXPECT_EQ(udp_receive(handle, buffer, 4, &got, 2), 0);
  EXPECT_EQ(std::string(buffer, got), "HTTP");
  // Nothing more arrives: 0 bytes and no error after the wait.
  Clock::time_point start = Clock::now();
  EXPECT_EQ(udp_receive(handle, buffer, sizeof(buffer), &got, 1), 0);
  EXPECT_EQ(got, 0u);
  EXPECT_GE(seconds_since(start), 0.9);
  socket_close(handle);
}

TEST(Socket, LocalAddressOfAConnection) {
  LoopbackServer server({{"", 0, false}});
  SocketHandle* handle = nullptr;
  ASSERT_EQ(tcp_connect(&handle, "localhost", server.port(), 1), 0);
  std::string address;
  EXPECT_EQ(socket_local_address(handle, &address), 0);
  EXPECT_EQ(address, "127.0.0.1");
  socket_close(handle);
}

TEST(Socket, AddressTexts) {
  EXPECT_EQ(socket_address_valid("192.168.1.20"), 1);
  EXPECT_EQ(socket_address_valid("0.0.0.0"), 1);
  EXPECT_EQ(socket_address_valid("10.1"), 1);
  EXPECT_EQ(socket_address_valid("255.255.255.255"), 0);
  EXPECT_EQ(socket_address_valid("256.1.1.1"), 0);
  EXPECT_EQ(socket_address_valid("router"), 0);
  EXPECT_EQ(socket_address_valid(""), 0);
}

}  // namespace
