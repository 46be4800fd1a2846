// The socket layer: the only code that reaches the platform's sockets. IPv4, and IPv6 where
// a host text is an IPv6 address (it holds a ':'); every socket non-blocking, every wait
// bounded. Each call returns Error::kOk or a named
// failure and hands its results back through out-parameters; nothing is buffered. A
// failed open leaves nothing open; calls on an open socket never close it, and a Socket
// closes itself (and gives back its start-up reference) when it goes.
//
// socket.cc holds the loops, waits and caps once; socket_posix.cc and socket_win32.cc
// hold only the system calls it makes (socket_platform.h), and a test may link a
// stand-in for those calls to script the peer (tests/support/scripted_socket.cc).
#ifndef PORTWRANGLER_NET_SOCKET_H_
#define PORTWRANGLER_NET_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"

/// One open socket together with the platform start-up reference it took.
struct SocketHandle {
  long long descriptor;  // wide enough for a Winsock SOCKET as well as a POSIX fd
};

/// Closes the socket and gives back its start-up reference.
struct SocketCloser {
  void operator()(SocketHandle* handle) const;
};
using Socket = std::unique_ptr<SocketHandle, SocketCloser>;

/// An interface that can carry a multicast search: up, multicast-capable, not loopback.
struct NetInterface {
  std::string name;
  std::string address;  // dotted decimal, or IPv6 text (a global address where it has one)
  unsigned index = 0;   // the system's number for it, an IPv6 zone
};

/// Whether a host text is an IPv6 address rather than an IPv4 one or a name.
inline bool net_host_is_v6(const std::string& host) {
  return host.find(':') != std::string::npos;
}

/// Whether the version word a socket library reports (major in its low byte, minor in
/// its high byte, as Winsock's wVersion) stands for 2.2 or later.
bool net_version_ok(unsigned version_word);

/// kOk when the platform's socket library is ready (version 2.2 or later);
/// kSocketStartupFailed, kSocketVersionTooOld. Each open socket takes one start-up.
Error net_startup();

/// kOk with the interfaces a search can go out on (IPv4 ones, or IPv6 ones with `v6`), in
/// the platform's order, one each; an empty list when it names none.
Error net_interfaces(std::vector<NetInterface>* interfaces, bool v6 = false);

/// kOk with an IPv4 address of the interface that holds the IPv6 address `v6_address`
/// (text, a "%zone" allowed): what this host is on that link for IPv4.
/// kSocketNoIpv4 when that interface has none (or no interface holds the address).
Error net_ipv4_beside(const std::string& v6_address, std::string* v4_address);

/// kOk with the address a host beyond the link reaches this host at, for `local`, an
/// address of this host ("%zone" allowed): `local` itself, without its zone, unless it is
/// an IPv6 link-local one; then a global IPv6 address of the interface that holds it (a
/// unique-local one where it has no global one), as net_interfaces names the interface.
/// kSocketNoGlobalIpv6 when that interface has none.
Error net_global_beside(const std::string& local, std::string* global);

/// kOk with a new non-blocking, unbound UDP socket (IPv6 with `v6`).
Error udp_open(Socket* out, bool v6 = false);

/// kOk with a new non-blocking UDP socket bound to `source`, an address of this host (any
/// port): its datagrams leave from that address, whatever the route would pick.
/// kSocketNoResolve, kSocketCreateFailed (the host holds no such address).
Error udp_open_from(Socket* out, const std::string& source);

/// A datagram socket bound to `port` (shared with the host's other listeners) that has
/// joined `group` on every multicast interface (IPv4: the default one where none is
/// listed; an IPv6 group's socket is IPv6), or on the interface numbered `only` alone
/// when it is not 0: kOk, or kSocketCreateFailed when it cannot bind or join anywhere.
Error udp_listen_group(Socket* out, const char* group, int port, unsigned only = 0);

/// kOk with the number of the interface that holds the IPv6 address `address` (its
/// "%zone" where it names one); kSocketNoLocalAddress when none holds it.
Error net_interface_index(const std::string& address, unsigned* index);

/// kOk with a TCP socket connected to host:port within `milliseconds`; kSocketNoResolve,
/// kSocketConnectFailed (refused, unreachable or too slow), kSocketStopped, or an open
/// failure.
Error tcp_connect(Socket* out, const std::string& host, int port, int milliseconds);

/// kOk with a TCP socket whose connect to host:port has begun (`*connected` when it is
/// through already); the end of a connect under way shows as writable, and
/// tcp_connect_result then tells how it went. kSocketNoResolve, kSocketConnectFailed.
Error tcp_connect_start(Socket* out, const std::string& host, int port, bool* connected);

/// kOk when a connect that showed writable went through; kSocketConnectFailed.
Error tcp_connect_result(SocketHandle* socket);

/// kOk when multicast datagrams of `socket` leave through `through`.
Error udp_set_multicast_interface(SocketHandle* socket, const NetInterface& through);

/// kOk when all `length` bytes went to host:port in one datagram (an IPv6 host may end in
/// "%zone"); kSocketNoResolve, kSocketSendFailed.
Error udp_send_to(SocketHandle* socket, const std::string& host, int port, const char* data,
                  size_t length);

/// kOk with the first datagram (at most `capacity` bytes, `*sender` its source as text, an
/// IPv6 one with "%zone" when it has one) or 0 bytes when none arrived within
/// `milliseconds`; kSocketReceiveFailed, kSocketStopped.
Error udp_receive(SocketHandle* socket, char* buffer, size_t capacity, size_t* received,
                  std::string* sender, int milliseconds);

/// The same, with the datagram's source port in `*sender_port`.
Error udp_receive_from(SocketHandle* socket, char* buffer, size_t capacity, size_t* received,
                       std::string* sender, int* sender_port, int milliseconds);

/// kOk with the local address this host sends from toward host:port (a UDP socket is
/// connected there; nothing is sent); kSocketNoResolve, kSocketConnectFailed,
/// kSocketNoLocalAddress.
Error udp_source_toward(const std::string& host, int port, std::string* source);

/// The 16 bytes of an address text, IPv4 mapped into IPv6 (::ffff:a.b.c.d); false when
/// `text` is not an address (a name is not looked up).
bool net_address_bytes(const std::string& text, uint8_t bytes[16]);

/// Whether two address texts name one address: compared as bytes (IPv4 and its
/// IPv4-mapped form alike, a "%zone" set aside), as text where either is no address.
bool net_same_address(const std::string& a, const std::string& b);

/// Whether an address text (a "%zone" allowed) is an IPv6 link-local one: fe80::/10.
bool net_address_link_local(const std::string& text);

/// The text of 16 bytes: dotted decimal for a mapped IPv4 address, else IPv6 text.
std::string net_address_text(const uint8_t bytes[16]);

/// kOk with how many of `length` bytes one send took: 0 when the send buffer is full;
/// kSocketSendFailed.
Error tcp_send_some(SocketHandle* socket, const char* data, size_t length, size_t* sent);

/// kOk with the bytes one receive took (at most `capacity`): 0 when none are there yet,
/// 0 with `*closed` when the peer has closed; kSocketReceiveFailed.
Error tcp_receive_some(SocketHandle* socket, char* buffer, size_t capacity, size_t* received,
                       bool* closed);

/// One socket to wait on, and whether it is ready: readable, or writable with
/// `for_write`. A socket that shows an error counts as ready, and its next call tells.
struct SocketWait {
  SocketHandle* socket;
  bool for_write;
  bool ready;
};

/// Waits up to `milliseconds` (the time left, which the caller works out from its
/// deadlines) until one of `waits` is ready: kOk with `ready` set on those that are, none
/// when the time ran out; a signal does not cut the wait short, a stop does
/// (kSocketStopped). kSocketReceiveFailed when the platform cannot wait. No descriptor is
/// too high to wait on.
Error socket_wait_any(std::vector<SocketWait>* waits, int milliseconds);

/// Makes a stop end the waits: from now on every wait of this layer ends as soon as
/// net_stop_ask is called (kSocketStopped), until net_stop_take. kOk, or the reason the
/// wake-up the waits watch could not be made.
Error net_stop_watch();

/// Asks the stop; safe in a signal handler and from another thread.
void net_stop_ask();

/// Whether a stop was asked.
bool net_stop_asked();

/// The stop is being acted on: waits no longer end by it, so the steps it starts (a
/// removal, under a deadline of its own) can wait for their answers.
void net_stop_take();

/// Waits up to `milliseconds` for a stop: kSocketStopped as soon as one is asked (also
/// before the call), kOk when the time ran out without one, or earlier when net_wake was
/// called or a socket of `watch` has something to read; kSocketReceiveFailed when stops
/// are not watched.
Error net_stop_wait(int milliseconds, const std::vector<SocketHandle*>& watch = {});

/// Ends a net_stop_wait under way without a stop (a reload asked); other waits go on.
/// Safe in a signal handler.
void net_wake();

/// kOk with the local address of the socket, dotted decimal or canonical IPv6 text (no
/// zone); kSocketNoLocalAddress.
Error socket_local_address(SocketHandle* socket, std::string* address);

/// Whether the platform's IPv4 text conversion accepts `text` (255.255.255.255 is
/// refused, as the conversion cannot tell it from a failure).
bool socket_address_valid(const char* text);

#endif  // PORTWRANGLER_NET_SOCKET_H_
