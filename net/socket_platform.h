// The system calls behind the socket layer, one thin wrapper each: socket_posix.cc and
// socket_win32.cc define them, socket.cc alone calls them. Addresses are IPv4 in network
// byte order; a wait is in milliseconds. None of them loops, retries or allocates.
#ifndef PORTWRANGLER_NET_SOCKET_PLATFORM_H_
#define PORTWRANGLER_NET_SOCKET_PLATFORM_H_

#include <cstddef>
#include <cstdint>
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

/// A new IPv4 socket (stream or datagram), or kSysNoSocket.
SysSocket sys_socket(bool stream);
bool sys_set_nonblocking(SysSocket socket);
void sys_close(SysSocket socket);

/// The first IPv4 address of `host` (a name or dotted text); false when none.
bool sys_resolve(const char* host, uint32_t* address);
/// Whether the platform's text conversion gives an address for `text`.
bool sys_address_valid(const char* text);

/// Starts a connect: kDone (connected), kWouldBlock (under way), kFailed.
SysStatus sys_connect(SysSocket socket, uint32_t address, int port);
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
/// kWouldBlock when the wait ran out, kInterrupted, kFailed.
SysStatus sys_wait_any(SysWait* waits, size_t count, int milliseconds);

/// One send, sendto, recv or recvfrom: the byte count goes to `*count`.
SysStatus sys_send(SysSocket socket, const char* data, size_t length, size_t* count);
SysStatus sys_send_to(SysSocket socket, const char* data, size_t length, uint32_t address, int port,
                      size_t* count);
SysStatus sys_receive(SysSocket socket, char* buffer, size_t capacity, size_t* count);
SysStatus sys_receive_from(SysSocket socket, char* buffer, size_t capacity, uint32_t* sender,
                           size_t* count);

/// The local IPv4 address of a socket; false when the platform does not tell.
bool sys_local_address(SysSocket socket, uint32_t* address);

/// Sends the socket's multicast datagrams through the interface of `address`.
bool sys_set_multicast_interface(SysSocket socket, uint32_t address);

/// The interfaces that are up, multicast-capable, not loopback, with an IPv4 address.
bool sys_interfaces(std::vector<NetInterface>* interfaces);

#endif  // PORTWRANGLER_NET_SOCKET_PLATFORM_H_
