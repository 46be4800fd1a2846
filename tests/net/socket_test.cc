#include "net/socket.h"

#include <gtest/gtest.h>

#include <chrono>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

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
  EXPECT_EQ(tcp_connect(&handle, "127.0.0.1", closed_loopback_port(), 1000),
            Error::kSocketConnectFailed);
  EXPECT_LT(seconds_since(start), 1.5);
  EXPECT_EQ(handle.get(), nullptr);
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST(Socket, UnresolvableHostFailsBeforeAnyTraffic) {
  Socket handle;
  int before = open_descriptor_count();
  EXPECT_EQ(tcp_connect(&handle, "no such host.invalid", 80, 1000), Error::kSocketNoResolve);
  EXPECT_EQ(open_descriptor_count(), before);
  ASSERT_EQ(udp_open(&handle), Error::kOk);
  EXPECT_EQ(udp_send_to(handle.get(), "", 1900, "x", 1), Error::kSocketNoResolve);
  handle.reset();
}

TEST(Socket, WaitTellsWhichIsReadyAndReceiveTakesWhatCame) {
  LoopbackServer server({{"hello", 0, false}, {"", 1500, false}});
  Socket talks, silent;
  ASSERT_EQ(tcp_connect(&talks, "127.0.0.1", server.port(), 1000), Error::kOk);
  ASSERT_EQ(tcp_connect(&silent, "127.0.0.1", server.port(), 1000), Error::kOk);
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
}

TEST(Socket, AStopEndsEveryWaitAtOnceUntilItIsTaken) {
  LoopbackServer server({{"", 3000, false}});
  Socket silent;
  ASSERT_EQ(tcp_connect(&silent, "127.0.0.1", server.port(), 1000), Error::kOk);
  ASSERT_EQ(net_stop_watch(), Error::kOk);
  // Control: watched, but not asked, the wait lasts its time.
  std::vector<SocketWait> waits{{silent.get(), false, false}};
  Clock::time_point start = Clock::now();
  EXPECT_EQ(socket_wait_any(&waits, 300), Error::kOk);
  EXPECT_GE(seconds_since(start), 0.25);
  EXPECT_EQ(net_stop_wait(200), Error::kOk);
  // Asked (as a signal handler asks it): every wait ends at once, the stop's own too.
  net_stop_ask();
  start = Clock::now();
  EXPECT_EQ(socket_wait_any(&waits, 5000), Error::kSocketStopped);
  char buffer[8];
  size_t got = 0;
  std::string sender;
  Socket datagrams;
  ASSERT_EQ(udp_open(&datagrams), Error::kOk);
  EXPECT_EQ(udp_receive(datagrams.get(), buffer, sizeof(buffer), &got, &sender, 5000),
            Error::kSocketStopped);
  EXPECT_EQ(net_stop_wait(5000), Error::kSocketStopped);
  EXPECT_LT(seconds_since(start), 1.0);
  // Taken: the waits of what the stop starts last their time again.
  net_stop_take();
  start = Clock::now();
  EXPECT_EQ(socket_wait_any(&waits, 300), Error::kOk);
  EXPECT_GE(seconds_since(start), 0.25);
}

TEST(Socket, ADatagramSocketSendsFromTheAddressItIsBoundTo) {
  std::string picked, bound;
  ASSERT_EQ(udp_source_toward("127.0.0.1", 5351, &picked), Error::kOk);
  EXPECT_EQ(picked, "127.0.0.1");  // the system's choice (control)
  Socket socket;
  ASSERT_EQ(udp_open_from(&socket, "127.0.0.2"), Error::kOk);
  ASSERT_EQ(socket_local_address(socket.get(), &bound), Error::kOk);
  EXPECT_EQ(bound, "127.0.0.2");
#ifndef _WIN32
  // An address this host does not hold. (Wine, where the Windows tests run, takes the bind
  // as one to every address; Windows refuses it as POSIX does.)
  Socket elsewhere;
  EXPECT_EQ(udp_open_from(&elsewhere, "192.0.2.1"), Error::kSocketCreateFailed);
  EXPECT_EQ(elsewhere, nullptr);
#endif
}

#ifndef _WIN32
TEST(Socket, WaitsOnADescriptorPast1024) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 2048 && limit.rlim_max >= 2048) {
    limit.rlim_cur = 2048;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  if (limit.rlim_cur < 2048) GTEST_SKIP() << "descriptors are capped below 2048";
  LoopbackServer server({{"hello", 0, false}, {"", 1500, false}});
  Socket low, quiet;
  ASSERT_EQ(tcp_connect(&low, "127.0.0.1", server.port(), 1000), Error::kOk);
  ASSERT_EQ(tcp_connect(&quiet, "127.0.0.1", server.port(), 1000), Error::kOk);
  // The same connections, each also as a descriptor past what an fd_set holds.
  const int high_fd = fcntl(static_cast<int>(low->descriptor), F_DUPFD_CLOEXEC, 1500);
  const int high_quiet_fd = fcntl(static_cast<int>(quiet->descriptor), F_DUPFD_CLOEXEC, 1600);
  ASSERT_GE(high_fd, 1500);
  ASSERT_GE(high_quiet_fd, 1600);
  Socket high(new SocketHandle{high_fd}), high_quiet(new SocketHandle{high_quiet_fd});
  ASSERT_EQ(net_startup(), Error::kOk);  // each Socket gives one start-up back
  ASSERT_EQ(net_startup(), Error::kOk);
  for (SocketHandle* watched : {low.get(), high.get()}) {
    std::vector<SocketWait> waits{{high_quiet.get(), false, false}, {watched, false, false}};
    ASSERT_EQ(socket_wait_any(&waits, 2000), Error::kOk);
    EXPECT_FALSE(waits[0].ready);
    EXPECT_TRUE(waits[1].ready);
  }
}
#endif

TEST(Socket, SendToAGonePeerFailsWithoutEndingTheProcess) {
  LoopbackServer server({{"", 0, false}});
  Socket handle;
  ASSERT_EQ(tcp_connect(&handle, "127.0.0.1", server.port(), 1000), Error::kOk);
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
  ASSERT_EQ(tcp_connect(&handle, "localhost", server.port(), 1000), Error::kOk);
  std::string address;
  EXPECT_EQ(socket_local_address(handle.get(), &address), Error::kOk);
  EXPECT_EQ(address, "127.0.0.1");
  handle.reset();
}

TEST(Socket, TheInterfaceHoldingAnAddress) {
  // A link-local address names its interface; another is looked for among this host's.
  unsigned index = 0;
  EXPECT_EQ(net_interface_index("fe80::1%7", &index), Error::kOk);
  EXPECT_EQ(index, 7u);
  EXPECT_EQ(net_interface_index("2001:db8:ffff::9", &index), Error::kSocketNoLocalAddress);
  // The control: an address this host holds is found on its interface.
  std::vector<NetInterface> interfaces;
  ASSERT_EQ(net_interfaces(&interfaces, true), Error::kOk);
  if (interfaces.empty()) GTEST_SKIP() << "no IPv6 interface here";
  index = 0;
  EXPECT_EQ(net_interface_index(interfaces[0].address, &index), Error::kOk);
  EXPECT_EQ(index, interfaces[0].index);
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
