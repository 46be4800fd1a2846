// Socket layer: the only code that touches the platform's sockets. IPv4 only, every
// socket non-blocking, every wait a select of whole seconds. Each call returns 0 or a
// negative code and hands results back through out-parameters; nothing is buffered.
// A failed open leaves nothing open; calls on an open handle never close it: the caller
// passes every handle it got to socket_close on every path.
#ifndef PORTWRANGLER_NET_SOCKET_H_
#define PORTWRANGLER_NET_SOCKET_H_

#include <cstddef>
#include <memory>
#include <string>

#include "base/result_codes.h"

/// One open socket together with the platform start-up reference it took.
struct SocketHandle {
  long long descriptor;  // wide enough for a Winsock SOCKET as well as a POSIX fd
};

/// kOk when the version word a socket library reports (major in its low byte, minor in
/// its high byte, as Winsock's wVersion) stands for 2.2 or later; -993.
inline int net_version_result(unsigned version_word) {
  const unsigned major = version_word & 0xFFu, minor = (version_word >> 8) & 0xFFu;
  return 10 * major + minor >= 22 ? kOk : kSocketVersionTooOld;
}

/// 0 when the platform's socket library is ready (version 2.2 or later); -994, -993.
int net_startup();

/// 0 with a new non-blocking, unbound UDP socket in `*out`; -499, -994, -993, -991, -990.
int udp_open(SocketHandle** out);

/// 0 with a TCP socket connected to host:port within `seconds` in `*out`;
/// -499, -994, -993, -991, -990, -992, -999 (refused, unreachable or too slow).
int tcp_connect(SocketHandle** out, const char* host, int port, int seconds);

/// Closes the socket, gives back its start-up reference and frees the handle. Always 0.
int socket_close(SocketHandle* handle);

/// Closes the handle it owns on every path out of a scope, an exception's included.
struct SocketCloser {
  void operator()(SocketHandle* handle) const { socket_close(handle); }
};
using SocketOwner = std::unique_ptr<SocketHandle, SocketCloser>;

/// 0 when `seconds` pass with the socket readable; -996 otherwise.
int wait_readable(SocketHandle* handle, int seconds);

/// 0 when the socket is writable within `seconds`; -998 otherwise.
int wait_writable(SocketHandle* handle, int seconds);

/// 0 when all `length` bytes went to host:port; -992, -997. `*sent` counts what went.
int udp_send_to(SocketHandle* handle, const char* host, int port, const char* data, size_t length,
                size_t* sent);

/// 0 with the first datagram (at most `capacity` bytes) or 0 bytes when none arrived
/// within `seconds`; -995 on a receive error (0 bytes reported).
int udp_receive(SocketHandle* handle, char* buffer, size_t capacity, size_t* received, int seconds);

/// 0 when all `length` bytes were accepted; -997 otherwise. `*sent` counts what went.
int tcp_send_all(SocketHandle* handle, const char* data, size_t length, size_t* sent);

/// 0 with up to `capacity` bytes: stops at capacity, at the peer's close, or after one
/// silent wait of `seconds`; -995 on a receive error (0 bytes reported).
int tcp_receive(SocketHandle* handle, char* buffer, size_t capacity, size_t* received, int seconds);

/// 0 with up to `capacity` bytes that have arrived, left in the socket for the next
/// receive: 0 bytes when none arrive within `seconds` or the peer has closed; -995 on a
/// receive error.
int tcp_peek(SocketHandle* handle, char* buffer, size_t capacity, size_t* received, int seconds);

/// 0 with the dotted-decimal local IPv4 address of the socket in `*address`; -987, -499.
int socket_local_address(SocketHandle* handle, std::string* address);

/// 1 when the platform's IPv4 text conversion accepts `text` (255.255.255.255 is
/// refused, as the conversion cannot tell it from a failure), else 0.
int socket_address_valid(const char* text);

#endif  // PORTWRANGLER_NET_SOCKET_H_
