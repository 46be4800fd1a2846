// A stand-in for the socket layer's system calls (net/socket_platform.h) whose peer is a
// script, for tests of the HTTP client's reading: linked in place of socket_posix.cc, so
// the socket layer's own loops run as they do for real. The peer sends its pieces one at
// a time, the next only once the client has taken every byte of the one before and waits
// for more, so a test decides where the client's reads fall. After the last piece the
// peer closes. The interfaces the platform lists are scripted too.
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

#endif  // PORTWRANGLER_TESTS_SUPPORT_SCRIPTED_SOCKET_H_
