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

sockaddr_in endpoint(uint32_t address, int port) {
  sockaddr_in to;
  std::memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  to.sin_port = htons(static_cast<u_short>(port));
  return to;
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

SysSocket sys_socket(bool stream) {
  const SOCKET s = socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
  return s == INVALID_SOCKET ? kSysNoSocket : static_cast<SysSocket>(s);
}

bool sys_set_nonblocking(SysSocket socket) {
  u_long non_blocking = 1;
  return ioctlsocket(socket_of(socket), FIONBIO, &non_blocking) == 0;
}

void sys_close(SysSocket socket) {
  closesocket(socket_of(socket));
}

bool sys_resolve(const char* host, uint32_t* address) {
  // gethostbyname("") answers with this host's own address; an empty text names none.
  if (host[0] == '\0') return false;
  const hostent* found = gethostbyname(host);
  if (found == nullptr || found->h_addrtype != AF_INET || found->h_addr_list[0] == nullptr ||
      found->h_length != static_cast<int>(sizeof(*address))) {
    return false;
  }
  std::memcpy(address, found->h_addr_list[0], sizeof(*address));
  return true;
}

bool sys_address_valid(const char* text) {
  return inet_addr(text) != INADDR_NONE;
}

SysStatus sys_connect(SysSocket socket, uint32_t address, int port) {
  const sockaddr_in to = endpoint(address, port);
  if (connect(socket_of(socket), reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0) {
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
  // The first argument is ignored by Winsock. A refused connect shows in the error set
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

SysStatus sys_send_to(SysSocket socket, const char* data, size_t length, uint32_t address, int port,
                      size_t* count) {
  const sockaddr_in to = endpoint(address, port);
  return counted(sendto(socket_of(socket), data, clamp(length), 0,
                        reinterpret_cast<const sockaddr*>(&to), sizeof(to)),
                 count);
}

SysStatus sys_receive(SysSocket socket, char* buffer, size_t capacity, size_t* count) {
  return counted(recv(socket_of(socket), buffer, clamp(capacity), 0), count);
}

SysStatus sys_receive_from(SysSocket socket, char* buffer, size_t capacity, uint32_t* sender,
                           size_t* count) {
  sockaddr_in from;
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
  *sender = from.sin_addr.s_addr;
  return status;
}

bool sys_local_address(SysSocket socket, uint32_t* address) {
  sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  int length = sizeof(local);
  if (getsockname(socket_of(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return false;
  }
  *address = local.sin_addr.s_addr;
  return true;
}

bool sys_set_multicast_interface(SysSocket socket, uint32_t address) {
  in_addr chosen;
  chosen.s_addr = address;
  return setsockopt(socket_of(socket), IPPROTO_IP, IP_MULTICAST_IF,
                    reinterpret_cast<const char*>(&chosen), sizeof(chosen)) == 0;
}

bool sys_interfaces(std::vector<NetInterface>* interfaces) {
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = 16384;
  std::unique_ptr<char[]> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  // The list may grow between the two calls: ask again, a bounded number of times.
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.reset(new char[size]);
    result = GetAdaptersAddresses(AF_INET, flags, nullptr,
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
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      const in_addr& ip = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
      const unsigned char* b = reinterpret_cast<const unsigned char*>(&ip);
      interfaces->push_back(
          {utf8_of(at->FriendlyName), std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                                          std::to_string(b[2]) + "." + std::to_string(b[3])});
      break;  // one address an adapter: the search goes out once through it
    }
  }
  return true;
}
