// Winsock 2 behind the socket layer. Every open handle holds one WSAStartup of its own,
// given back by the WSACleanup in socket_close or on the failure path that closes it,
// so the layer needs no global start-up step and handles may overlap freely.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <new>

#include "net/socket.h"

namespace {

SOCKET socket_of(const SocketHandle* handle) {
  return static_cast<SOCKET>(handle->descriptor);
}

/// 0 with `*address` zeroed and filled with the first IPv4 address of `host`; -992.
int resolve_endpoint(sockaddr_in* address, const char* host, int port) {
  std::memset(address, 0, sizeof(*address));
  address->sin_family = AF_INET;
  // gethostbyname("") answers with this host's own address; an empty text names none.
  if (host[0] == '\0') return kSocketNoResolve;
  const hostent* found = gethostbyname(host);
  if (found == nullptr || found->h_addrtype != AF_INET || found->h_addr_list[0] == nullptr ||
      found->h_length != static_cast<int>(sizeof(address->sin_addr))) {
    return kSocketNoResolve;
  }
  std::memcpy(&address->sin_addr, found->h_addr_list[0], sizeof(address->sin_addr));
  address->sin_port = htons(static_cast<u_short>(port));
  return kOk;
}

/// The one worker behind udp_open and the first half of tcp_connect.
int open_socket(SocketHandle** out, int type) {
  SocketHandle* handle = new (std::nothrow) SocketHandle{static_cast<long long>(INVALID_SOCKET)};
  if (handle == nullptr) return kNoMemory;
  int code = net_startup();
  if (code != kOk) {
    delete handle;
    return code;
  }
  SOCKET s = socket(AF_INET, type, 0);
  if (s == INVALID_SOCKET) {
    WSACleanup();
    delete handle;
    return kSocketCreateFailed;
  }
  u_long non_blocking = 1;
  if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
    closesocket(s);
    WSACleanup();
    delete handle;
    return kSocketNonBlockFailed;
  }
  handle->descriptor = static_cast<long long>(s);
  *out = handle;
  return kOk;
}

/// 0 when the socket shows up in the chosen set within `seconds`. A refused connect
/// shows in the exception set only, which counts as a failure; an interrupted select
/// starts over with the full wait.
int wait_for(SOCKET s, bool for_write, int seconds) {
  for (;;) {
    fd_set chosen, errors;
    FD_ZERO(&chosen);
    FD_ZERO(&errors);
    FD_SET(s, &chosen);
    FD_SET(s, &errors);
    timeval wait{seconds, 0};
    // The first argument is ignored by Winsock; socket + 1 as the call is written.
    int ready = select(static_cast<int>(s) + 1, for_write ? nullptr : &chosen,
                       for_write ? &chosen : nullptr, &errors, &wait);
    if (ready == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) continue;
    return (ready > 0 && FD_ISSET(s, &chosen)) ? 0 : -1;
  }
}

}  // namespace

int net_startup() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    WSACleanup();
    return kSocketStartupFailed;
  }
  const int code = net_version_result(data.wVersion);
  if (code != kOk) WSACleanup();
  return code;
}

int udp_open(SocketHandle** out) {
  return open_socket(out, SOCK_DGRAM);
}

int tcp_connect(SocketHandle** out, const char* host, int port, int seconds) {
  SocketHandle* handle = nullptr;
  int code = open_socket(&handle, SOCK_STREAM);
  if (code != kOk) return code;
  sockaddr_in address;
  code = resolve_endpoint(&address, host, port);
  if (code == kOk) {
    // A non-blocking connect is normally still in progress (WSAEWOULDBLOCK) and its
    // result is learnt from the wait; one refused on the spot is over already.
    int started =
        connect(socket_of(handle), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    if (started == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
      code = kSocketConnectFailed;
    } else if (wait_writable(handle, seconds) != kOk) {
      code = kSocketConnectFailed;
    }
  }
  if (code != kOk) {
    socket_close(handle);
    return code;
  }
  *out = handle;
  return kOk;
}

int socket_close(SocketHandle* handle) {
  if (handle == nullptr) return kOk;
  if (socket_of(handle) != INVALID_SOCKET) {
    closesocket(socket_of(handle));
    WSACleanup();  // the start-up reference this handle took
  }
  delete handle;
  return kOk;
}

int wait_readable(SocketHandle* handle, int seconds) {
  return wait_for(socket_of(handle), false, seconds) == 0 ? kOk : kSocketNotReadable;
}

int wait_writable(SocketHandle* handle, int seconds) {
  return wait_for(socket_of(handle), true, seconds) == 0 ? kOk : kSocketNotWritable;
}

int udp_send_to(SocketHandle* handle, const char* host, int port, const char* data, size_t length,
                size_t* sent) {
  sockaddr_in address;
  if (resolve_endpoint(&address, host, port) != kOk) return kSocketNoResolve;
  *sent = 0;
  int last = 1;
  while (last > 0 && *sent < length) {
    last = sendto(socket_of(handle), data + *sent, static_cast<int>(length - *sent), 0,
                  reinterpret_cast<sockaddr*>(&address), sizeof(address));
    if (last > 0) *sent += static_cast<size_t>(last);
  }
  return last > 0 ? kOk : kSocketSendFailed;
}

int udp_receive(SocketHandle* handle, char* buffer, size_t capacity, size_t* received,
                int seconds) {
  *received = 0;
  if (wait_readable(handle, seconds) != kOk) return kOk;
  sockaddr_in sender;
  int sender_length = sizeof(sender);
  int got = recvfrom(socket_of(handle), buffer, static_cast<int>(capacity), 0,
                     reinterpret_cast<sockaddr*>(&sender), &sender_length);
  // A datagram longer than the buffer arrives cut to it, with WSAEMSGSIZE.
  if (got == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) got = static_cast<int>(capacity);
  if (got < 0) return kSocketReceiveFailed;
  *received = static_cast<size_t>(got);
  return kOk;
}

int tcp_send_all(SocketHandle* handle, const char* data, size_t length, size_t* sent) {
  *sent = 0;
  int last = 1;
  while (last > 0 && *sent < length) {
    last = send(socket_of(handle), data + *sent, static_cast<int>(length - *sent), 0);
    if (last == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK &&
        wait_writable(handle, 10) == kOk) {
      last = 1;  // the send buffer was full: go on once it drains
      continue;
    }
    if (last > 0) *sent += static_cast<size_t>(last);
  }
  return last > 0 ? kOk : kSocketSendFailed;
}

int tcp_receive(SocketHandle* handle, char* buffer, size_t capacity, size_t* received,
                int seconds) {
  *received = 0;
  size_t total = 0;
  while (total < capacity) {
    if (wait_readable(handle, seconds) != kOk) break;
    int got = recv(socket_of(handle), buffer + total, static_cast<int>(capacity - total), 0);
    if (got == 0) break;
    if (got == SOCKET_ERROR) {
      int error = WSAGetLastError();
      if (error == WSAEINTR || error == WSAEWOULDBLOCK) continue;
      return kSocketReceiveFailed;
    }
    total += static_cast<size_t>(got);
  }
  *received = total;
  return kOk;
}

int tcp_peek(SocketHandle* handle, char* buffer, size_t capacity, size_t* received, int seconds) {
  *received = 0;
  for (;;) {
    if (wait_readable(handle, seconds) != kOk) return kOk;
    int got = recv(socket_of(handle), buffer, static_cast<int>(capacity), MSG_PEEK);
    if (got >= 0) {
      *received = static_cast<size_t>(got);
      return kOk;
    }
    int error = WSAGetLastError();
    if (error != WSAEINTR && error != WSAEWOULDBLOCK) return kSocketReceiveFailed;
  }
}

int socket_local_address(SocketHandle* handle, std::string* address) {
  sockaddr_in local;
  int length = sizeof(local);
  std::memset(&local, 0, sizeof(local));
  if (getsockname(socket_of(handle), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return kSocketNoLocalAddress;
  }
  const char* text = inet_ntoa(local.sin_addr);  // the platform's storage: copied at once
  if (text == nullptr) return kSocketNoLocalAddress;
  try {
    *address = text;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  return kOk;
}

int socket_address_valid(const char* text) {
  // inet_addr itself needs no start-up, but Winsock asks for one before any call.
  if (net_startup() != kOk) return 0;
  int valid = inet_addr(text) != INADDR_NONE ? 1 : 0;
  WSACleanup();
  return valid;
}
