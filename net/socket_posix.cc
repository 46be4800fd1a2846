// POSIX sockets behind the socket layer. Winsock's start-up and clean-up have no
// counterpart here: net_startup only applies the version rule to the 2.2 that POSIX
// sockets stand for, and the clean-up is nothing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "net/socket.h"

namespace {

constexpr unsigned kPlatformVersion = 0x0202;  // what POSIX sockets stand for: 2.2

int fd_of(const SocketHandle* handle) {
  return static_cast<int>(handle->descriptor);
}

/// 0 with `*address` zeroed and filled with the first IPv4 address of `host`; -992.
int resolve_endpoint(sockaddr_in* address, const char* host, int port) {
  std::memset(address, 0, sizeof(*address));
  address->sin_family = AF_INET;
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    return kSocketNoResolve;
  }
  address->sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  address->sin_port = htons(static_cast<uint16_t>(port));
  return kOk;
}

/// The one worker behind udp_open and the first half of tcp_connect.
int open_socket(SocketHandle** out, int type) {
  SocketHandle* handle = new (std::nothrow) SocketHandle{-1};
  if (handle == nullptr) return kNoMemory;
  int code = net_startup();
  if (code != kOk) {
    delete handle;
    return code;
  }
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    delete handle;
    return kSocketCreateFailed;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    close(fd);
    delete handle;
    return kSocketNonBlockFailed;
  }
  handle->descriptor = fd;
  *out = handle;
  return kOk;
}

/// 0 when `fd` shows up in the chosen set within `seconds`; an interrupted select
/// starts over with the full wait.
int wait_for(int fd, bool for_write, int seconds) {
  if (fd < 0 || fd >= FD_SETSIZE) return -1;  // an fd_set cannot hold it
  for (;;) {
    fd_set chosen, errors;
    FD_ZERO(&chosen);
    FD_ZERO(&errors);
    FD_SET(fd, &chosen);
    FD_SET(fd, &errors);
    timeval wait{seconds, 0};
    int ready = select(fd + 1, for_write ? nullptr : &chosen, for_write ? &chosen : nullptr,
                       &errors, &wait);
    if (ready < 0 && errno == EINTR) continue;
    return (ready > 0 && FD_ISSET(fd, &chosen)) ? 0 : -1;
  }
}

}  // namespace

int net_startup() {
  return net_version_result(kPlatformVersion);
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
    // A non-blocking connect is normally still in progress and its result is learnt
    // from the wait. One refused at once (no route, a local reject) is over already:
    // its socket then shows writable with no pending error, as if it had connected.
    int started = connect(fd_of(handle), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    if (started != 0 && errno != EINPROGRESS && errno != EINTR) {
      code = kSocketConnectFailed;
    } else {
      int error = 0;
      socklen_t length = sizeof(error);
      // A connect refused later also makes the socket writable; its pending error tells.
      if (wait_writable(handle, seconds) != kOk ||
          getsockopt(fd_of(handle), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        code = kSocketConnectFailed;
      }
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
  if (handle->descriptor >= 0) close(fd_of(handle));
  delete handle;
  return kOk;
}

int wait_readable(SocketHandle* handle, int seconds) {
  return wait_for(fd_of(handle), false, seconds) == 0 ? kOk : kSocketNotReadable;
}

int wait_writable(SocketHandle* handle, int seconds) {
  return wait_for(fd_of(handle), true, seconds) == 0 ? kOk : kSocketNotWritable;
}

int udp_send_to(SocketHandle* handle, const char* host, int port, const char* data, size_t length,
                size_t* sent) {
  sockaddr_in address;
  if (resolve_endpoint(&address, host, port) != kOk) return kSocketNoResolve;
  *sent = 0;
  ssize_t last = 1;
  while (last > 0 && *sent < length) {
    last = sendto(fd_of(handle), data + *sent, length - *sent, 0,
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
  socklen_t sender_length = sizeof(sender);
  ssize_t got = recvfrom(fd_of(handle), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&sender),
                         &sender_length);
  if (got < 0) return kSocketReceiveFailed;
  *received = static_cast<size_t>(got);
  return kOk;
}

int tcp_send_all(SocketHandle* handle, const char* data, size_t length, size_t* sent) {
  *sent = 0;
  ssize_t last = 1;
  while (last > 0 && *sent < length) {
    // MSG_NOSIGNAL: a peer that has gone must give -997, not end the process by SIGPIPE.
    last = send(fd_of(handle), data + *sent, length - *sent, MSG_NOSIGNAL);
    if (last < 0 && errno == EAGAIN && wait_writable(handle, 10) == kOk) {
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
    ssize_t got = recv(fd_of(handle), buffer + total, capacity - total, 0);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
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
    ssize_t got = recv(fd_of(handle), buffer, capacity, MSG_PEEK);
    if (got >= 0) {
      *received = static_cast<size_t>(got);
      return kOk;
    }
    if (errno != EINTR && errno != EAGAIN) return kSocketReceiveFailed;
  }
}

int socket_local_address(SocketHandle* handle, std::string* address) {
  sockaddr_in local;
  socklen_t length = sizeof(local);
  std::memset(&local, 0, sizeof(local));
  if (getsockname(fd_of(handle), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return kSocketNoLocalAddress;
  }
  char text[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &local.sin_addr, text, sizeof(text)) == nullptr) {
    return kSocketNoLocalAddress;
  }
  try {
    *address = text;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  return kOk;
}

int socket_address_valid(const char* text) {
  return inet_addr(text) != INADDR_NONE ? 1 : 0;
}
