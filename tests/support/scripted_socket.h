// A stand-in for the socket layer's system calls (net/socket_platform.h) whose peer is a
// script, for tests of the HTTP client's reading: linked in place of socket_posix.cc, so
// the socket layer's own loops run as they do for real. The peer sends its pieces one at
// a time, the next only once the client has taken every byte of the one before and waits
// for more, so a test decides where the client's reads fall. After the last piece the
// peer closes. The interfaces the platform lists are scripted too.
//
// Datagram sockets have a script of their own: datagrams that arrive at set times on a
// clock of the script's (scripted_now_ms), which a wait on them moves on rather than
// sleeping. Numeric IPv4 texts are read as the addresses they name; anything else is
// 127.0.0.1, as for the stream peer.
#ifndef PORTWRANGLER_TESTS_SUPPORT_SCRIPTED_SOCKET_H_
#define PORTWRANGLER_TESTS_SUPPORT_SCRIPTED_SOCKET_H_

#include <string>
#include <vector>

#include "net/socket.h"

/// The interfaces and addresses the platform lists from now on (none at first), as it
/// lists them: one entry an address.
void scripted_interfaces(const std::vector<NetInterface>& addresses);

/// What the peer of the next connection sends.
void scripted_peer(const std::vector<std::string>& pieces);

/// How often the client has waited with nothing left to take since scripted_peer.
int scripted_waits();

/// What the client sent since scripted_peer.
std::string scripted_request();

/// One datagram for a datagram socket to receive: its bytes, its source (an IPv4 text)
/// and port, and when it arrives on the script's clock.
struct ScriptedDatagram {
  std::string bytes;
  std::string source;
  int port = 0;
  long long at_ms = 0;
};

/// The datagrams every datagram socket receives from now on, in order of arrival; the
/// script's clock starts at 0, and the sends are counted anew.
void scripted_datagrams(const std::vector<ScriptedDatagram>& datagrams);

/// The script's clock: moved on by the waits on datagram sockets, or by scripted_advance.
long long scripted_now_ms();
void scripted_advance(long long milliseconds);

/// The datagrams sent since scripted_datagrams, and the last one received (empty: none).
int scripted_sends();
std::string scripted_last_received();

#endif  // PORTWRANGLER_TESTS_SUPPORT_SCRIPTED_SOCKET_H_
