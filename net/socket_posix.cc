// The socket layer's system calls on POSIX. Winsock's start-up and clean-up have no
// counterpart here: the start-up reports the 2.2 that POSIX sockets stand for.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "net/socket_platform.h"

namespace {

int fd_of(SysSocket socket) {
  return static_cast<int>(socket);
}

sockaddr_in endpoint(uint32_t address, int port) {
  sockaddr_in to;
  std::memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  to.sin_port = htons(static_cast<uint16_t>(port));
  return to;
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

SysSocket sys_socket(bool stream) {
  const int fd = socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  return fd < 0 ? kSysNoSocket : fd;
}

bool sys_set_nonblocking(SysSocket socket) {
  const int flags = fcntl(fd_of(socket), F_GETFL, 0);
  return flags >= 0 && fcntl(fd_of(socket), F_SETFL, flags | O_NONBLOCK) == 0;
}

void sys_close(SysSocket socket) {
  close(fd_of(socket));
}

bool sys_resolve(const char* host, uint32_t* address) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

bool sys_address_valid(const char* text) {
  return inet_addr(text) != INADDR_NONE;
}

SysStatus sys_connect(SysSocket socket, uint32_t address, int port) {
  const sockaddr_in to = endpoint(address, port);
  if (connect(fd_of(socket), reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0) {
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
  fd_set reads, writes, errors;
  FD_ZERO(&reads);
  FD_ZERO(&writes);
  FD_ZERO(&errors);
  int highest = -1;
  for (size_t i = 0; i < count; ++i) {
    const int fd = fd_of(waits[i].socket);
    if (fd < 0 || fd >= FD_SETSIZE) return SysStatus::kFailed;  // an fd_set cannot hold it
    FD_SET(fd, waits[i].for_write ? &writes : &reads);
    FD_SET(fd, &errors);
    if (fd > highest) highest = fd;
  }
  timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
  const int ready = select(highest + 1, &reads, &writes, &errors, &wait);
  if (ready < 0) return errno == EINTR ? SysStatus::kInterrupted : SysStatus::kFailed;
  if (ready == 0) return SysStatus::kWouldBlock;
  for (size_t i = 0; i < count; ++i) {
    const int fd = fd_of(waits[i].socket);
    waits[i].ready = FD_ISSET(fd, waits[i].for_write ? &writes : &reads);
    waits[i].failed = !waits[i].ready && FD_ISSET(fd, &errors);
  }
  return SysStatus::kDone;
}

SysStatus sys_send(SysSocket socket, const char* data, size_t length, size_t* count) {
  // MSG_NOSIGNAL: a peer that has gone must fail the send, not end the process by SIGPIPE.
  return counted(send(fd_of(socket), data, length, MSG_NOSIGNAL), count);
}

SysStatus sys_send_to(SysSocket socket, const char* data, size_t length, uint32_t address, int port,
                      size_t* count) {
  const sockaddr_in to = endpoint(address, port);
  return counted(
      sendto(fd_of(socket), data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)),
      count);
}

SysStatus sys_receive(SysSocket socket, char* buffer, size_t capacity, size_t* count) {
  return counted(recv(fd_of(socket), buffer, capacity, 0), count);
}

SysStatus sys_receive_from(SysSocket socket, char* buffer, size_t capacity, uint32_t* sender,
                           size_t* count) {
  sockaddr_in from;
  std::memset(&from, 0, sizeof(from));
  socklen_t length = sizeof(from);
  const SysStatus status = counted(
      recvfrom(fd_of(socket), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from), &length),
      count);
  *sender = from.sin_addr.s_addr;
  return status;
}

bool sys_local_address(SysSocket socket, uint32_t* address) {
  sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  socklen_t length = sizeof(local);
  if (getsockname(fd_of(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
  *address = local.sin_addr.s_addr;
  return true;
}

bool sys_set_multicast_interface(SysSocket socket, uint32_t address) {
  in_addr chosen;
  chosen.s_addr = address;
  return setsockopt(fd_of(socket), IPPROTO_IP, IP_MULTICAST_IF, &chosen, sizeof(chosen)) == 0;
}

bool sys_interfaces(std::vector<NetInterface>* interfaces) {
  ifaddrs* found = nullptr;
  if (getifaddrs(&found) != 0) return false;
  const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(found, freeifaddrs);
  for (const ifaddrs* at = list.get(); at != nullptr; at = at->ifa_next) {
    if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET) continue;
    const unsigned flags = at->ifa_flags;
    if (!(flags & IFF_UP) || !(flags & IFF_MULTICAST) || (flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN];
    const in_addr& address = reinterpret_cast<const sockaddr_in*>(at->ifa_addr)->sin_addr;
    if (inet_ntop(AF_INET, &address, text, sizeof(text)) == nullptr) continue;
    interfaces->push_back({at->ifa_name, text});
  }
  return true;
}
