// The socket layer's system calls on POSIX. Winsock's start-up and clean-up have no
// counterpart here: the start-up reports the 2.2 that POSIX sockets stand for.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "net/socket_platform.h"

namespace {

int fd_of(SysSocket socket) {
  return static_cast<int>(socket);
}

SysStatus status_of_errno() {
  if (errno == EINTR) return SysStatus::kInterrupted;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return SysStatus::kWouldBlock;
  return SysStatus::kFailed;
}

SysStatus counted(ssize_t result, size_t* count) {
  *count = 0;
  if (result < 0) return status_of_errno();
  *count = static_cast<size_t>(result);
  return SysStatus::kDone;
}

}  // namespace

bool sys_startup(unsigned* version_word) {
  *version_word = 0x0202;
  return true;
}

void sys_cleanup() {}

SysSocket sys_socket(bool stream, bool v6) {
  const int fd =
      socket(v6 ? AF_INET6 : AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  return fd < 0 ? kSysNoSocket : fd;
}

bool sys_set_nonblocking(SysSocket socket) {
  const int flags = fcntl(fd_of(socket), F_GETFL, 0);
  return flags >= 0 && fcntl(fd_of(socket), F_SETFL, flags | O_NONBLOCK) == 0;
}

void sys_close(SysSocket socket) {
  close(fd_of(socket));
}

bool sys_resolve(const char* host, bool v6, SysAddress* address) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = v6 ? AF_INET6 : AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  const bool known = socket_address_of(found->ai_addr, address);
  freeaddrinfo(found);
  return known;
}

bool sys_address_text(const SysAddress& address, std::string* text) {
  char buffer[INET6_ADDRSTRLEN];
  if (inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes, buffer, sizeof(buffer)) ==
      nullptr) {
    return false;
  }
  *text = buffer;
  return true;
}

bool sys_address_valid(const char* text) {
  return inet_addr(text) != INADDR_NONE;
}

SysStatus sys_connect(SysSocket socket, const SysAddress& address, int port) {
  sockaddr_storage to;
  const socklen_t length = static_cast<socklen_t>(socket_endpoint(address, port, &to));
  if (connect(fd_of(socket), reinterpret_cast<const sockaddr*>(&to), length) == 0) {
    return SysStatus::kDone;
  }
  return errno == EINPROGRESS || errno == EINTR ? SysStatus::kWouldBlock : SysStatus::kFailed;
}

bool sys_connect_failed(SysSocket socket) {
  int error = 0;
  socklen_t length = sizeof(error);
  return getsockopt(fd_of(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0;
}

SysStatus sys_wait_any(SysWait* waits, size_t count, int milliseconds) {
  std::vector<pollfd> polled(count);
  for (size_t i = 0; i < count; ++i) {
    polled[i] = {fd_of(waits[i].socket), static_cast<short>(waits[i].for_write ? POLLOUT : POLLIN),
                 0};
  }
  const int ready = poll(polled.data(), static_cast<nfds_t>(count), milliseconds);
  if (ready < 0) return errno == EINTR ? SysStatus::kInterrupted : SysStatus::kFailed;
  if (ready == 0) return SysStatus::kWouldBlock;
  for (size_t i = 0; i < count; ++i) {
    const short seen = polled[i].revents;
    waits[i].ready = (seen & (waits[i].for_write ? POLLOUT : POLLIN)) != 0;
    waits[i].failed = !waits[i].ready && (seen & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  }
  return SysStatus::kDone;
}

SysStatus sys_send(SysSocket socket, const char* data, size_t length, size_t* count) {
  // MSG_NOSIGNAL: a peer that has gone must fail the send, not end the process by SIGPIPE.
  return counted(send(fd_of(socket), data, length, MSG_NOSIGNAL), count);
}

SysStatus sys_send_to(SysSocket socket, const char* data, size_t length, const SysAddress& address,
                      int port, size_t* count) {
  sockaddr_storage to;
  const socklen_t to_length = static_cast<socklen_t>(socket_endpoint(address, port, &to));
  return counted(
      sendto(fd_of(socket), data, length, 0, reinterpret_cast<const sockaddr*>(&to), to_length),
      count);
}

SysStatus sys_receive(SysSocket socket, char* buffer, size_t capacity, size_t* count) {
  return counted(recv(fd_of(socket), buffer, capacity, 0), count);
}

SysStatus sys_receive_from(SysSocket socket, char* buffer, size_t capacity, SysAddress* sender,
                           size_t* count) {
  sockaddr_storage from;
  std::memset(&from, 0, sizeof(from));
  socklen_t length = sizeof(from);
  const SysStatus status = counted(
      recvfrom(fd_of(socket), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from), &length),
      count);
  if (!socket_address_of(reinterpret_cast<const sockaddr*>(&from), sender)) *sender = SysAddress();
  return status;
}

bool sys_wake_open(SysSocket* read_end, SysSocket* write_end) {
  int ends[2];
  if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  *read_end = ends[0];
  *write_end = ends[1];
  return true;
}

void sys_wake(SysSocket write_end) {
  const int saved = errno;  // a signal handler leaves errno as it found it
  const char byte = 1;
  (void)!write(fd_of(write_end), &byte, 1);
  errno = saved;
}

void sys_wake_drain(SysSocket read_end) {
  char bytes[16];
  while (read(fd_of(read_end), bytes, sizeof(bytes)) > 0) {
  }
}

bool sys_local_address(SysSocket socket, SysAddress* address) {
  sockaddr_storage local;
  std::memset(&local, 0, sizeof(local));
  socklen_t length = sizeof(local);
  if (getsockname(fd_of(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
  return socket_address_of(reinterpret_cast<const sockaddr*>(&local), address);
}

bool sys_set_multicast_interface(SysSocket socket, bool v6, const NetInterface& through) {
  if (v6) {
    const unsigned index = through.index;
    return setsockopt(fd_of(socket), IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof(index)) == 0;
  }
  in_addr chosen;
  if (inet_pton(AF_INET, through.address.c_str(), &chosen) != 1) return false;
  return setsockopt(fd_of(socket), IPPROTO_IP, IP_MULTICAST_IF, &chosen, sizeof(chosen)) == 0;
}

bool sys_interfaces(bool v6, std::vector<NetInterface>* interfaces) {
  ifaddrs* found = nullptr;
  if (getifaddrs(&found) != 0) return false;
  const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(found, freeifaddrs);
  for (const ifaddrs* at = list.get(); at != nullptr; at = at->ifa_next) {
    SysAddress address;
    if (at->ifa_addr == nullptr || !socket_address_of(at->ifa_addr, &address) || address.v6 != v6) {
      continue;
    }
    const unsigned flags = at->ifa_flags;
    if (!(flags & IFF_UP) || !(flags & IFF_MULTICAST) || (flags & IFF_LOOPBACK)) continue;
    std::string text;
    if (!sys_address_text(address, &text)) continue;
    interfaces->push_back({at->ifa_name, text, if_nametoindex(at->ifa_name)});
  }
  return true;
}

bool sys_bind(SysSocket socket, const SysAddress& address, int port) {
  sockaddr_storage at;
  const socklen_t length = static_cast<socklen_t>(socket_endpoint(address, port, &at));
  return bind(fd_of(socket), reinterpret_cast<const sockaddr*>(&at), length) == 0;
}

bool sys_bind_shared(SysSocket socket, int port, bool v6) {
  const int on = 1;
  if (setsockopt(fd_of(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) return false;
#ifdef SO_REUSEPORT
  // A listener that asked for SO_REUSEPORT alone shares the port only with its like.
  (void)setsockopt(fd_of(socket), SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on));
#endif
  if (v6) {
    if (setsockopt(fd_of(socket), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) return false;
    sockaddr_in6 address{};  // all zero: every address
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    return bind(fd_of(socket), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(fd_of(socket), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

bool sys_join_group(SysSocket socket, const char* group, const NetInterface& through) {
  ipv6_mreq membership6{};
  if (inet_pton(AF_INET6, group, &membership6.ipv6mr_multiaddr) == 1) {
    membership6.ipv6mr_interface = through.index;
    return setsockopt(fd_of(socket), IPPROTO_IPV6, IPV6_JOIN_GROUP, &membership6,
                      sizeof(membership6)) == 0;
  }
  ip_mreq membership{};
  if (inet_pton(AF_INET, group, &membership.imr_multiaddr) != 1 ||
      inet_pton(AF_INET, through.address.c_str(), &membership.imr_interface) != 1) {
    return false;
  }
  return setsockopt(fd_of(socket), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership,
                    sizeof(membership)) == 0;
}
