// The socket layer's system calls with Winsock 2. Every open socket holds one WSAStartup
// of its own, given back when it closes, so the layer needs no global start-up step and
// sockets may overlap freely.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// clang-format on

#include <cstring>
#include <memory>
#include <string>

#include "base/wide.h"
#include "net/socket_platform.h"

namespace {

SOCKET socket_of(SysSocket socket) {
  return static_cast<SOCKET>(socket);
}

SysStatus counted(int result, size_t* count) {
  *count = 0;
  if (result != SOCKET_ERROR) {
    *count = static_cast<size_t>(result);
    return SysStatus::kDone;
  }
  const int error = WSAGetLastError();
  if (error == WSAEINTR) return SysStatus::kInterrupted;
  if (error == WSAEWOULDBLOCK) return SysStatus::kWouldBlock;
  return SysStatus::kFailed;
}

int clamp(size_t length) {
  return length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
}

}  // namespace

bool sys_startup(unsigned* version_word) {
  WSADATA data;
  // A start-up that failed took no reference: there is nothing to give back.
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  *version_word = data.wVersion;
  return true;
}

void sys_cleanup() {
  WSACleanup();
}

SysSocket sys_socket(bool stream, bool v6) {
  const SOCKET s = socket(v6 ? AF_INET6 : AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
  return s == INVALID_SOCKET ? kSysNoSocket : static_cast<SysSocket>(s);
}

bool sys_set_nonblocking(SysSocket socket) {
  u_long non_blocking = 1;
  return ioctlsocket(socket_of(socket), FIONBIO, &non_blocking) == 0;
}

void sys_close(SysSocket socket) {
  closesocket(socket_of(socket));
}

bool sys_resolve(const char* host, bool v6, SysAddress* address) {
  // gethostbyname("") answers with this host's own address; an empty text names none.
  if (host[0] == '\0') return false;
  *address = SysAddress();
  if (v6) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET6;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    const bool known = socket_address_of(found->ai_addr, address);
    freeaddrinfo(found);
    return known;
  }
  const hostent* found = gethostbyname(host);
  if (found == nullptr || found->h_addrtype != AF_INET || found->h_addr_list[0] == nullptr ||
      found->h_length != 4) {
    return false;
  }
  std::memcpy(address->bytes, found->h_addr_list[0], 4);
  return true;
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
  const int length = socket_endpoint(address, port, &to);
  if (connect(socket_of(socket), reinterpret_cast<const sockaddr*>(&to), length) == 0) {
    return SysStatus::kDone;
  }
  return WSAGetLastError() == WSAEWOULDBLOCK ? SysStatus::kWouldBlock : SysStatus::kFailed;
}

bool sys_connect_failed(SysSocket socket) {
  int error = 0;
  int length = sizeof(error);
  return getsockopt(socket_of(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                    &length) != 0 ||
         error != 0;
}

SysStatus sys_wait_any(SysWait* waits, size_t count, int milliseconds) {
  if (count > FD_SETSIZE) return SysStatus::kFailed;
  fd_set reads, writes, errors;
  FD_ZERO(&reads);
  FD_ZERO(&writes);
  FD_ZERO(&errors);
  for (size_t i = 0; i < count; ++i) {
    FD_SET(socket_of(waits[i].socket), waits[i].for_write ? &writes : &reads);
    FD_SET(socket_of(waits[i].socket), &errors);
  }
  timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
  // select, not WSAPoll: WSAPoll misses a refused connect on Windows before 10 2004, and a
  // Winsock fd_set holds sockets by handle, so no handle's value is too high for it. The
  // first argument is ignored by Winsock. A refused connect shows in the error set
  // only.
  const int ready = select(0, &reads, &writes, &errors, &wait);
  if (ready == SOCKET_ERROR) {
    return WSAGetLastError() == WSAEINTR ? SysStatus::kInterrupted : SysStatus::kFailed;
  }
  if (ready == 0) return SysStatus::kWouldBlock;
  for (size_t i = 0; i < count; ++i) {
    const SOCKET s = socket_of(waits[i].socket);
    waits[i].ready = FD_ISSET(s, waits[i].for_write ? &writes : &reads);
    waits[i].failed = !waits[i].ready && FD_ISSET(s, &errors);
  }
  return SysStatus::kDone;
}

SysStatus sys_send(SysSocket socket, const char* data, size_t length, size_t* count) {
  return counted(send(socket_of(socket), data, clamp(length), 0), count);
}

SysStatus sys_send_to(SysSocket socket, const char* data, size_t length, const SysAddress& address,
                      int port, size_t* count) {
  sockaddr_storage to;
  const int to_length = socket_endpoint(address, port, &to);
  return counted(sendto(socket_of(socket), data, clamp(length), 0,
                        reinterpret_cast<const sockaddr*>(&to), to_length),
                 count);
}

SysStatus sys_receive(SysSocket socket, char* buffer, size_t capacity, size_t* count) {
  return counted(recv(socket_of(socket), buffer, clamp(capacity), 0), count);
}

SysStatus sys_receive_from(SysSocket socket, char* buffer, size_t capacity, SysAddress* sender,
                           size_t* count) {
  sockaddr_storage from;
  std::memset(&from, 0, sizeof(from));
  int length = sizeof(from);
  SysStatus status = counted(recvfrom(socket_of(socket), buffer, clamp(capacity), 0,
                                      reinterpret_cast<sockaddr*>(&from), &length),
                             count);
  // A datagram longer than the buffer arrives cut to it, as on POSIX.
  if (status == SysStatus::kFailed && WSAGetLastError() == WSAEMSGSIZE) {
    *count = capacity;
    status = SysStatus::kDone;
  }
  // Winsock reports an ICMP error for an earlier send (port unreachable: no server at the
  // gateway, or one restarting) on the next receive; POSIX drops it for an unconnected
  // socket. Nothing came: the wait goes on, as it does there.
  if (status == SysStatus::kFailed &&
      (WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAENETRESET)) {
    status = SysStatus::kWouldBlock;
  }
  if (!socket_address_of(reinterpret_cast<const sockaddr*>(&from), sender)) *sender = SysAddress();
  return status;
}

bool sys_wake_open(SysSocket* read_end, SysSocket* write_end) {
  // A datagram socket on loopback that sends to itself: the waits take sockets alone.
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(self);
  u_long non_blocking = 1;
  if (bind(s, reinterpret_cast<sockaddr*>(&self), length) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
      connect(s, reinterpret_cast<sockaddr*>(&self), length) != 0 ||
      ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
    closesocket(s);
    return false;
  }
  *read_end = *write_end = static_cast<SysSocket>(s);
  return true;
}

void sys_wake(SysSocket write_end) {
  const char byte = 1;
  send(socket_of(write_end), &byte, 1, 0);
}

void sys_wake_drain(SysSocket read_end) {
  char bytes[16];
  while (recv(socket_of(read_end), bytes, sizeof(bytes), 0) > 0) {
  }
}

bool sys_local_address(SysSocket socket, SysAddress* address) {
  sockaddr_storage local;
  std::memset(&local, 0, sizeof(local));
  int length = sizeof(local);
  if (getsockname(socket_of(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return false;
  }
  return socket_address_of(reinterpret_cast<const sockaddr*>(&local), address);
}

bool sys_set_multicast_interface(SysSocket socket, bool v6, const NetInterface& through) {
  if (v6) {
    const DWORD index = through.index;
    return setsockopt(socket_of(socket), IPPROTO_IPV6, IPV6_MULTICAST_IF,
                      reinterpret_cast<const char*>(&index), sizeof(index)) == 0;
  }
  in_addr chosen;
  if (inet_pton(AF_INET, through.address.c_str(), &chosen) != 1) return false;
  return setsockopt(socket_of(socket), IPPROTO_IP, IP_MULTICAST_IF,
                    reinterpret_cast<const char*>(&chosen), sizeof(chosen)) == 0;
}

bool sys_interfaces(bool v6, std::vector<NetInterface>* interfaces) {
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = 16384;
  std::unique_ptr<char[]> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  // The list may grow between the two calls: ask again, a bounded number of times.
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.reset(new char[size]);
    result = GetAdaptersAddresses(v6 ? AF_INET6 : AF_INET, flags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
  }
  if (result != NO_ERROR) return false;
  for (const IP_ADAPTER_ADDRESSES* at = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
       at != nullptr; at = at->Next) {
    if (at->OperStatus != IfOperStatusUp || at->IfType == IF_TYPE_SOFTWARE_LOOPBACK ||
        (at->Flags & IP_ADAPTER_NO_MULTICAST) != 0) {
      continue;
    }
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = at->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      SysAddress address;
      std::string text;
      if (unicast->Address.lpSockaddr == nullptr ||
          !socket_address_of(unicast->Address.lpSockaddr, &address) || address.v6 != v6 ||
          !sys_address_text(address, &text)) {
        continue;
      }
      // Every address of the adapter: the layer keeps one, a global one for IPv6.
      interfaces->push_back({utf8_of(at->FriendlyName), text, v6 ? at->Ipv6IfIndex : at->IfIndex});
    }
  }
  return true;
}

bool sys_bind(SysSocket socket, const SysAddress& address, int port) {
  sockaddr_storage at;
  const int length = socket_endpoint(address, port, &at);
  return bind(socket_of(socket), reinterpret_cast<const sockaddr*>(&at), length) == 0;
}

bool sys_bind_shared(SysSocket socket, int port, bool v6) {
  const int on = 1;
  if (setsockopt(socket_of(socket), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                 sizeof(on)) != 0)
    return false;
  if (v6) {
    if (setsockopt(socket_of(socket), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on),
                   sizeof(on)) != 0)
      return false;
    sockaddr_in6 address{};  // all zero: every address
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    return bind(socket_of(socket), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(socket_of(socket), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

bool sys_join_group(SysSocket socket, const char* group, const NetInterface& through) {
  ipv6_mreq membership6{};
  if (inet_pton(AF_INET6, group, &membership6.ipv6mr_multiaddr) == 1) {
    membership6.ipv6mr_interface = through.index;
    return setsockopt(socket_of(socket), IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP,
                      reinterpret_cast<const char*>(&membership6), sizeof(membership6)) == 0;
  }
  ip_mreq membership{};
  if (inet_pton(AF_INET, group, &membership.imr_multiaddr) != 1 ||
      inet_pton(AF_INET, through.address.c_str(), &membership.imr_interface) != 1) {
    return false;
  }
  return setsockopt(socket_of(socket), IPPROTO_IP, IP_ADD_MEMBERSHIP,
                    reinterpret_cast<const char*>(&membership), sizeof(membership)) == 0;
}
