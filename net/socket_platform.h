// The system calls behind the socket layer, one thin wrapper each: socket_posix.cc and
// socket_win32.cc define them, socket.cc alone calls them. Addresses are IPv4 or IPv6 in
// network byte order; a wait is in milliseconds. None of them loops or retries.
#ifndef PORTWRANGLER_NET_SOCKET_PLATFORM_H_
#define PORTWRANGLER_NET_SOCKET_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/socket.h"

using SysSocket = long long;
constexpr SysSocket kSysNoSocket = -1;

/// How a call on a non-blocking socket went.
enum class SysStatus {
  kDone,         // it did what it was asked (a count of 0 from a receive: the peer closed)
  kWouldBlock,   // nothing now: wait and try again (a connect: under way)
  kInterrupted,  // a signal came first: try again
  kFailed,
};

/// Takes one reference on the socket library; false when it does not start. The version
/// it reports goes to `*version_word`.
bool sys_startup(unsigned* version_word);
/// Gives one reference back.
void sys_cleanup();

/// An IPv4 or IPv6 address; an IPv6 one with its zone (the interface index of a
/// link-local address, 0 for none).
struct SysAddress {
  bool v6 = false;
  uint8_t bytes[16] = {};  // IPv4 in the first four
  uint32_t zone = 0;
  uint16_t port = 0;  // where one came from: a datagram's source port
};

struct sockaddr;
struct sockaddr_storage;

/// The socket address of `address` and `port` in `*out`, and its length. Written once, in
/// socket.cc: both platforms lay socket addresses out alike.
int socket_endpoint(const SysAddress& address, int port, sockaddr_storage* out);
/// The address of a socket address of either family; false for any other family.
bool socket_address_of(const sockaddr* from, SysAddress* address);

/// A new IPv4 or IPv6 socket (stream or datagram), or kSysNoSocket.
SysSocket sys_socket(bool stream, bool v6);
bool sys_set_nonblocking(SysSocket socket);
void sys_close(SysSocket socket);

/// The first address of `host` (a name, or an address text; an IPv6 one may end in
/// "%zone") in the family asked for; false when none.
bool sys_resolve(const char* host, bool v6, SysAddress* address);
/// Whether the platform's IPv4 text conversion gives an address for `text`.
bool sys_address_valid(const char* text);
/// The address as text: dotted decimal, or IPv6 in its canonical form, without the zone.
bool sys_address_text(const SysAddress& address, std::string* text);

/// Starts a connect: kDone (connected), kWouldBlock (under way), kFailed.
SysStatus sys_connect(SysSocket socket, const SysAddress& address, int port);
/// Whether a connect that showed writable ended with an error after all.
bool sys_connect_failed(SysSocket socket);

/// One socket to wait on, and what the wait found: `ready` when it is readable (or
/// writable), `failed` when it shows only an error.
struct SysWait {
  SysSocket socket;
  bool for_write;
  bool ready;
  bool failed;
};

/// Waits until one of `count` sockets is ready or failed: kDone with the flags set,
/// kWouldBlock when the wait ran out, kInterrupted, kFailed. Any descriptor's value.
SysStatus sys_wait_any(SysWait* waits, size_t count, int milliseconds);

/// One send, sendto, recv or recvfrom: the byte count goes to `*count`.
SysStatus sys_send(SysSocket socket, const char* data, size_t length, size_t* count);
SysStatus sys_send_to(SysSocket socket, const char* data, size_t length, const SysAddress& address,
                      int port, size_t* count);
SysStatus sys_receive(SysSocket socket, char* buffer, size_t capacity, size_t* count);
SysStatus sys_receive_from(SysSocket socket, char* buffer, size_t capacity, SysAddress* sender,
                           size_t* count);

/// A wake-up for the waits: `*read_end` turns readable once sys_wake wrote to
/// `*write_end` (a pipe, or a loopback datagram socket sending to itself); false when it
/// cannot be made.
bool sys_wake_open(SysSocket* read_end, SysSocket* write_end);
/// Makes the wake-up readable; safe in a signal handler and from another thread.
void sys_wake(SysSocket write_end);
/// Takes what sys_wake wrote, so the wake-up is quiet again.
void sys_wake_drain(SysSocket read_end);

/// The local address of a socket; false when the platform does not tell.
bool sys_local_address(SysSocket socket, SysAddress* address);

/// Sends the socket's multicast datagrams through `through`: an IPv4 socket through its
/// address, an IPv6 one through its index.
bool sys_set_multicast_interface(SysSocket socket, bool v6, const NetInterface& through);

/// The interfaces that are up, multicast-capable and not loopback, with an address of the
/// family asked for (IPv6: a global one where there is one, else its link-local one).
bool sys_interfaces(bool v6, std::vector<NetInterface>* interfaces);

/// Binds the socket to `address` and `port` (0: any).
bool sys_bind(SysSocket socket, const SysAddress& address, int port);
/// Binds a datagram socket (IPv6 with `v6`, IPv6 alone) to `port` on every address,
/// shared with the other listeners of the host (SO_REUSEADDR, and SO_REUSEPORT where
/// there is one).
bool sys_bind_shared(SysSocket socket, int port, bool v6);
/// Joins the multicast group `group` (an IPv4 or IPv6 address text) on the interface
/// `through`: an IPv4 one by its address, an IPv6 one by its index.
bool sys_join_group(SysSocket socket, const char* group, const NetInterface& through);

#endif  // PORTWRANGLER_NET_SOCKET_PLATFORM_H_
