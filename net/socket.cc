// The socket layer's policy, written once for every platform: opening and closing with
// the start-up reference, the connect and its wait, the send and receive loops, the
// waits that restart after a signal with what is left of them and end at a stop, and the
// socket addresses both platforms lay out alike.
#include "net/socket.h"

#include <cctype>

#ifdef _WIN32
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/clock.h"
#include "base/limits.h"
#include "base/number.h"
#include "net/socket_platform.h"

namespace {

// The stop: asked from a signal handler (POSIX) or the console's handler thread
// (Windows), so a flag of the one type both may write, and a wake-up the waits watch.
volatile std::sig_atomic_t stop_asked = 0;
volatile std::sig_atomic_t stop_taken = 0;
SysSocket wake_read = kSysNoSocket;
SysSocket wake_write = kSysNoSocket;

bool stop_ends_waits() {
  return stop_asked != 0 && stop_taken == 0;
}

SysSocket sys_of(const SocketHandle* handle) {
  return static_cast<SysSocket>(handle->descriptor);
}

/// The one worker behind udp_open and the first half of tcp_connect.
Error open_socket(Socket* out, bool stream, bool v6) {
  Error error = net_startup();
  if (error != Error::kOk) return error;
  const SysSocket socket = sys_socket(stream, v6);
  if (socket == kSysNoSocket) {
    sys_cleanup();
    return Error::kSocketCreateFailed;
  }
  if (!sys_set_nonblocking(socket)) {
    sys_close(socket);
    sys_cleanup();
    return Error::kSocketNonBlockFailed;
  }
  SocketHandle* handle = new (std::nothrow) SocketHandle{socket};
  if (handle == nullptr) {
    sys_close(socket);
    sys_cleanup();
    return Error::kNoMemory;
  }
  out->reset(handle);
  return Error::kOk;
}

/// The platform's wait over `waits`, made again after a signal with what is left of
/// `milliseconds`; the stop's wake-up is watched beside them while a stop ends waits.
/// kSocketStopped once a stop is asked, kSocketReceiveFailed when the platform cannot
/// wait, else kOk with `*status` kDone (something is ready) or kWouldBlock (time is up).
Error wait_any(std::vector<SysWait>* waits, int milliseconds, SysStatus* status) {
  const Deadline end = deadline_in(milliseconds);
  const bool watch = wake_read != kSysNoSocket && stop_taken == 0;
  if (watch) waits->push_back({wake_read, false, false, false});
  for (;;) {
    if (stop_ends_waits()) break;
    *status = sys_wait_any(waits->data(), waits->size(), deadline_left_ms(end, milliseconds));
    if (*status == SysStatus::kInterrupted) continue;
    if (*status == SysStatus::kDone && watch && (waits->back().ready || waits->back().failed)) {
      if (stop_ends_waits()) break;
      // A wake-up without a stop (a reload asked): spent, and the exchange waits on.
      sys_wake_drain(wake_read);
      continue;
    }
    if (watch) waits->pop_back();
    return *status == SysStatus::kFailed ? Error::kSocketReceiveFailed : Error::kOk;
  }
  if (watch) waits->pop_back();
  return Error::kSocketStopped;
}

/// kOk when the socket became readable (or writable) within `milliseconds`;
/// kSocketConnectFailed when it did not, kSocketStopped, kSocketReceiveFailed.
Error wait_for(SocketHandle* handle, bool for_write, int milliseconds) {
  std::vector<SysWait> waits{{sys_of(handle), for_write, false, false}};
  SysStatus status = SysStatus::kWouldBlock;
  const Error error = wait_any(&waits, milliseconds, &status);
  if (error != Error::kOk) return error;
  return status == SysStatus::kDone && (waits[0].ready || waits[0].failed)
             ? Error::kOk
             : Error::kSocketConnectFailed;
}

/// The address as text, an IPv6 one with "%zone" when `with_zone` and it has one.
std::string text_of(const SysAddress& address, bool with_zone) {
  std::string text;
  if (!sys_address_text(address, &text)) return std::string();
  if (with_zone && address.v6 && address.zone != 0) text += "%" + std::to_string(address.zone);
  return text;
}

/// The address of `host`: an IPv6 one may end in "%" and an interface's number, its zone,
/// which is set here rather than left to the platform's resolver (not every one reads it).
bool resolve(const std::string& host, bool v6, SysAddress* address) {
  const size_t mark = host.find('%');
  uint64_t zone = 0;
  const bool numbered =
      v6 && mark != std::string::npos && number_read(host.substr(mark + 1), UINT32_MAX, &zone);
  if (!numbered) return sys_resolve(host.c_str(), v6, address);
  if (!sys_resolve(host.substr(0, mark).c_str(), v6, address)) return false;
  address->zone = static_cast<uint32_t>(zone);
  return true;
}

bool link_local(const std::string& address) {
  return net_address_link_local(address);
}

/// How far beyond its link an IPv6 address (canonical text) reaches: 0 link-local, 1
/// unique-local (fc00::/7), 2 global. The one rule for the address that names an
/// interface.
int reach_of(const std::string& address) {
  if (link_local(address)) return 0;
  const bool unique_local = address.size() > 4 && address[0] == 'f' &&
                            (address[1] == 'c' || address[1] == 'd') && address[4] == ':';
  return unique_local ? 1 : 2;
}

}  // namespace

namespace {

/// A port in network byte order, written byte by byte: no call of the socket library, so
/// a test's stand-in for the platform links without it.
void put_port(int port, void* to) {
  unsigned char* bytes = static_cast<unsigned char*>(to);
  bytes[0] = static_cast<unsigned char>((port >> 8) & 0xFF);
  bytes[1] = static_cast<unsigned char>(port & 0xFF);
}

int port_of(const void* from) {
  const unsigned char* bytes = static_cast<const unsigned char*>(from);
  return (bytes[0] << 8) | bytes[1];
}

}  // namespace

int socket_endpoint(const SysAddress& address, int port, sockaddr_storage* out) {
  std::memset(out, 0, sizeof(*out));
  if (address.v6) {
    sockaddr_in6* to = reinterpret_cast<sockaddr_in6*>(out);
    to->sin6_family = AF_INET6;
    std::memcpy(&to->sin6_addr, address.bytes, 16);
    to->sin6_scope_id = address.zone;
    put_port(port, &to->sin6_port);
    return static_cast<int>(sizeof(sockaddr_in6));
  }
  sockaddr_in* to = reinterpret_cast<sockaddr_in*>(out);
  to->sin_family = AF_INET;
  std::memcpy(&to->sin_addr, address.bytes, 4);
  put_port(port, &to->sin_port);
  return static_cast<int>(sizeof(sockaddr_in));
}

bool socket_address_of(const sockaddr* from, SysAddress* address) {
  *address = SysAddress();
  if (from->sa_family == AF_INET6) {
    const sockaddr_in6* in = reinterpret_cast<const sockaddr_in6*>(from);
    address->v6 = true;
    std::memcpy(address->bytes, &in->sin6_addr, 16);
    address->zone = in->sin6_scope_id;
    address->port = port_of(&in->sin6_port);
    return true;
  }
  if (from->sa_family != AF_INET) return false;
  const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(from);
  std::memcpy(address->bytes, &in->sin_addr, 4);
  address->port = port_of(&in->sin_port);
  return true;
}

Error net_stop_watch() {
  if (wake_read != kSysNoSocket) return Error::kOk;
  Error error = net_startup();  // held for the rest of the run, as the wake-up is
  if (error != Error::kOk) return error;
  if (!sys_wake_open(&wake_read, &wake_write)) {
    sys_cleanup();
    return Error::kSocketCreateFailed;
  }
  return Error::kOk;
}

void net_stop_ask() {
  stop_asked = 1;
  if (wake_write != kSysNoSocket) sys_wake(wake_write);
}

bool net_stop_asked() {
  return stop_asked != 0;
}

void net_stop_take() {
  stop_taken = 1;
}

Error net_stop_wait(int milliseconds, const std::vector<SocketHandle*>& watch) {
  const Deadline end = deadline_in(milliseconds);
  while (stop_asked == 0 && !deadline_passed(end)) {
    if (wake_read == kSysNoSocket) return Error::kSocketReceiveFailed;
    std::vector<SysWait> waits;
    try {
      waits.push_back({wake_read, false, false, false});
      for (SocketHandle* socket : watch) waits.push_back({sys_of(socket), false, false, false});
    } catch (const std::bad_alloc&) {
      return Error::kNoMemory;
    }
    const SysStatus status =
        sys_wait_any(waits.data(), waits.size(), deadline_left_ms(end, milliseconds));
    if (status == SysStatus::kFailed) return Error::kSocketReceiveFailed;
    if (status != SysStatus::kDone) continue;
    if (waits[0].ready && stop_asked == 0) {
      sys_wake_drain(wake_read);  // a wake-up without a stop: its byte is spent here
      return Error::kOk;
    }
    for (size_t i = 1; i < waits.size(); ++i) {
      if (waits[i].ready || waits[i].failed) return Error::kOk;
    }
  }
  return stop_asked != 0 ? Error::kSocketStopped : Error::kOk;
}

void net_wake() {
  if (wake_write != kSysNoSocket) sys_wake(wake_write);
}

void SocketCloser::operator()(SocketHandle* handle) const {
  sys_close(sys_of(handle));
  sys_cleanup();
  delete handle;
}

bool net_version_ok(unsigned version_word) {
  const unsigned major = version_word & 0xFFu, minor = (version_word >> 8) & 0xFFu;
  return 10 * major + minor >= 22;
}

Error net_startup() {
  unsigned version = 0;
  if (!sys_startup(&version)) return Error::kSocketStartupFailed;
  if (!net_version_ok(version)) {
    sys_cleanup();
    return Error::kSocketVersionTooOld;
  }
  return Error::kOk;
}

namespace {

/// Every address of the family's interfaces as the platform lists them: kOk (none where
/// it names none), or the start-up's or memory's failure.
Error interface_addresses(bool v6, std::vector<NetInterface>* found) {
  found->clear();
  const Error error = net_startup();
  if (error != Error::kOk) return error;
  bool listed = false;
  try {
    listed = sys_interfaces(v6, found);
  } catch (const std::bad_alloc&) {
    sys_cleanup();
    return Error::kNoMemory;
  }
  sys_cleanup();
  if (!listed) found->clear();
  return Error::kOk;
}

}  // namespace

Error net_ipv4_beside(const std::string& v6_address, std::string* v4_address) {
  std::vector<NetInterface> v6_found, v4_found;
  Error error = interface_addresses(true, &v6_found);
  if (error == Error::kOk) error = interface_addresses(false, &v4_found);
  if (error != Error::kOk) return error;
  const std::string bare = v6_address.substr(0, v6_address.find('%'));
  for (const NetInterface& held : v6_found) {
    if (held.address != bare) continue;
    for (const NetInterface& beside : v4_found) {
      if (beside.name != held.name) continue;
      try {
        *v4_address = beside.address;
      } catch (const std::bad_alloc&) {
        return Error::kNoMemory;
      }
      return Error::kOk;
    }
  }
  return Error::kSocketNoIpv4;
}

Error net_interfaces(std::vector<NetInterface>* interfaces, bool v6) {
  interfaces->clear();
  std::vector<NetInterface> found;
  const Error error = interface_addresses(v6, &found);
  if (error != Error::kOk) return error;
  // One address an interface: a search through it goes out once. Of IPv6 ones, a global
  // address names the interface rather than a unique-local or its link-local one.
  for (const NetInterface& candidate : found) {
    bool seen = false;
    for (NetInterface& kept : *interfaces) {
      if (kept.name != candidate.name) continue;
      seen = true;
      if (v6 && reach_of(candidate.address) > reach_of(kept.address)) kept = candidate;
    }
    if (!seen) interfaces->push_back(candidate);
  }
  return Error::kOk;
}

Error udp_open(Socket* out, bool v6) {
  return open_socket(out, false, v6);
}

Error udp_open_from(Socket* out, const std::string& source) {
  const bool v6 = net_host_is_v6(source);
  Socket socket;
  const Error error = open_socket(&socket, false, v6);
  if (error != Error::kOk) return error;
  SysAddress address;
  if (!resolve(source, v6, &address)) return Error::kSocketNoResolve;
  if (!sys_bind(sys_of(socket.get()), address, 0)) return Error::kSocketCreateFailed;
  *out = std::move(socket);
  return Error::kOk;
}

Error net_global_beside(const std::string& local, std::string* global) {
  try {
    const std::string bare = local.substr(0, local.find('%'));
    if (!net_host_is_v6(bare) || !link_local(bare)) {
      *global = bare;
      return Error::kOk;
    }
    unsigned index = 0;
    Error error = net_interface_index(local, &index);
    if (error == Error::kSocketNoLocalAddress) return Error::kSocketNoGlobalIpv6;
    if (error != Error::kOk) return error;
    std::vector<NetInterface> interfaces;
    error = net_interfaces(&interfaces, true);
    if (error != Error::kOk) return error;
    for (const NetInterface& held : interfaces) {
      if (held.index == index && reach_of(held.address) > 0) {
        *global = held.address;
        return Error::kOk;
      }
    }
  } catch (const std::bad_alloc&) {
    return Error::kNoMemory;
  }
  return Error::kSocketNoGlobalIpv6;
}

Error net_interface_index(const std::string& address, unsigned* index) {
  const size_t mark = address.find('%');
  uint64_t zone = 0;
  if (mark != std::string::npos && number_read(address.substr(mark + 1), UINT32_MAX, &zone)) {
    *index = static_cast<unsigned>(zone);
    return Error::kOk;
  }
  std::vector<NetInterface> found;
  const Error error = interface_addresses(true, &found);
  if (error != Error::kOk) return error;
  const std::string bare = address.substr(0, mark);
  for (const NetInterface& held : found) {
    if (held.address == bare) {
      *index = held.index;
      return Error::kOk;
    }
  }
  return Error::kSocketNoLocalAddress;
}

Error udp_listen_group(Socket* out, const char* group, int port, unsigned only) {
  Socket socket;
  const bool v6 = net_host_is_v6(group);
  Error error = open_socket(&socket, false, v6);
  if (error != Error::kOk) return error;
  if (!sys_bind_shared(sys_of(socket.get()), port, v6)) return Error::kSocketCreateFailed;
  std::vector<NetInterface> interfaces;
  error = net_interfaces(&interfaces, v6);
  if (error != Error::kOk) return error;
  bool joined = false;
  for (const NetInterface& through : interfaces) {
    if (only != 0 && through.index != only) continue;
    joined = sys_join_group(sys_of(socket.get()), group, through) || joined;
  }
  if (interfaces.empty() && !v6) {
    joined = sys_join_group(sys_of(socket.get()), group, {"", "0.0.0.0", 0});
  }
  if (!joined) return Error::kSocketCreateFailed;
  *out = std::move(socket);
  return Error::kOk;
}

Error tcp_connect_start(Socket* out, const std::string& host, int port, bool* connected) {
  const bool v6 = net_host_is_v6(host);
  Socket socket;
  Error error = open_socket(&socket, true, v6);
  if (error != Error::kOk) return error;
  SysAddress address;
  if (!resolve(host, v6, &address)) return Error::kSocketNoResolve;
  // A non-blocking connect is normally still under way and its end is learnt from the
  // wait. One refused on the spot is over already; one refused later also shows
  // writable, and its pending error tells.
  const SysStatus started = sys_connect(sys_of(socket.get()), address, port);
  if (started == SysStatus::kFailed) return Error::kSocketConnectFailed;
  *connected = started == SysStatus::kDone;
  *out = std::move(socket);
  return Error::kOk;
}

Error tcp_connect_result(SocketHandle* socket) {
  return sys_connect_failed(sys_of(socket)) ? Error::kSocketConnectFailed : Error::kOk;
}

Error tcp_connect(Socket* out, const std::string& host, int port, int milliseconds) {
  Socket socket;
  bool connected = false;
  Error error = tcp_connect_start(&socket, host, port, &connected);
  if (error != Error::kOk) return error;
  if (!connected) {
    error = wait_for(socket.get(), true, milliseconds);
    if (error == Error::kOk) error = tcp_connect_result(socket.get());
    if (error != Error::kOk) return error;
  }
  *out = std::move(socket);
  return Error::kOk;
}

Error udp_set_multicast_interface(SocketHandle* socket, const NetInterface& through) {
  return sys_set_multicast_interface(sys_of(socket), net_host_is_v6(through.address), through)
             ? Error::kOk
             : Error::kSocketSendFailed;
}

Error udp_send_to(SocketHandle* socket, const std::string& host, int port, const char* data,
                  size_t length) {
  SysAddress address;
  if (!resolve(host, net_host_is_v6(host), &address)) return Error::kSocketNoResolve;
  if (length == 0) return Error::kOk;
  for (;;) {
    size_t sent = 0;
    const SysStatus status = sys_send_to(sys_of(socket), data, length, address, port, &sent);
    if (status == SysStatus::kInterrupted) continue;
    // A datagram goes whole or not at all.
    return status == SysStatus::kDone && sent == length ? Error::kOk : Error::kSocketSendFailed;
  }
}

Error udp_receive(SocketHandle* socket, char* buffer, size_t capacity, size_t* received,
                  std::string* sender, int milliseconds) {
  return udp_receive_from(socket, buffer, capacity, received, sender, nullptr, milliseconds);
}

Error udp_receive_from(SocketHandle* socket, char* buffer, size_t capacity, size_t* received,
                       std::string* sender, int* sender_port, int milliseconds) {
  *received = 0;
  const Deadline end = deadline_in(milliseconds);
  for (;;) {
    const Error waited = wait_for(socket, false, deadline_left_ms(end, milliseconds));
    if (waited == Error::kSocketConnectFailed) return Error::kOk;  // nothing within the time
    if (waited != Error::kOk) return waited;
    SysAddress from;
    size_t count = 0;
    const SysStatus status = sys_receive_from(sys_of(socket), buffer, capacity, &from, &count);
    if (status == SysStatus::kDone) {
      *received = count;
      if (sender != nullptr) *sender = text_of(from, true);
      if (sender_port != nullptr) *sender_port = from.port;
      return Error::kOk;
    }
    // Readable, then nothing to take (a datagram dropped for its checksum): wait on.
    if (status != SysStatus::kWouldBlock && status != SysStatus::kInterrupted) {
      return Error::kSocketReceiveFailed;
    }
  }
}

Error tcp_send_some(SocketHandle* socket, const char* data, size_t length, size_t* sent) {
  *sent = 0;
  for (;;) {
    const SysStatus status = sys_send(sys_of(socket), data, length, sent);
    if (status == SysStatus::kInterrupted) continue;
    if (status == SysStatus::kWouldBlock) {
      *sent = 0;
      return Error::kOk;
    }
    return status == SysStatus::kDone && (*sent > 0 || length == 0) ? Error::kOk
                                                                    : Error::kSocketSendFailed;
  }
}

Error tcp_receive_some(SocketHandle* socket, char* buffer, size_t capacity, size_t* received,
                       bool* closed) {
  *received = 0;
  *closed = false;
  if (capacity == 0) return Error::kOk;
  for (;;) {
    size_t count = 0;
    const SysStatus status = sys_receive(sys_of(socket), buffer, capacity, &count);
    if (status == SysStatus::kInterrupted) continue;
    if (status == SysStatus::kWouldBlock) return Error::kOk;
    if (status != SysStatus::kDone) return Error::kSocketReceiveFailed;
    *received = count;
    *closed = count == 0;
    return Error::kOk;
  }
}

Error socket_wait_any(std::vector<SocketWait>* waits, int milliseconds) {
  try {
    std::vector<SysWait> sys;
    for (const SocketWait& wait : *waits)
      sys.push_back({sys_of(wait.socket), wait.for_write, false, false});
    SysStatus status = SysStatus::kWouldBlock;
    const Error error = wait_any(&sys, milliseconds, &status);
    if (error != Error::kOk) return error;
    for (size_t i = 0; i < sys.size(); ++i) {
      (*waits)[i].ready = status == SysStatus::kDone && (sys[i].ready || sys[i].failed);
    }
    return Error::kOk;
  } catch (const std::bad_alloc&) {
    return Error::kNoMemory;
  }
}

Error socket_local_address(SocketHandle* socket, std::string* address) {
  SysAddress local;
  if (!sys_local_address(sys_of(socket), &local)) return Error::kSocketNoLocalAddress;
  try {
    *address = text_of(local, false);
    if (address->empty()) return Error::kSocketNoLocalAddress;
  } catch (const std::bad_alloc&) {
    return Error::kNoMemory;
  }
  return Error::kOk;
}

Error udp_source_toward(const std::string& host, int port, std::string* source) {
  const bool v6 = net_host_is_v6(host);
  // The socket first: on Windows it holds the start-up the address's reading needs.
  Socket socket;
  Error error = udp_open(&socket, v6);
  if (error != Error::kOk) return error;
  SysAddress address;
  if (!resolve(host, v6, &address)) return Error::kSocketNoResolve;
  // A datagram socket's connect only picks the route: it sends nothing.
  if (sys_connect(sys_of(socket.get()), address, port) != SysStatus::kDone) {
    return Error::kSocketConnectFailed;
  }
  return socket_local_address(socket.get(), source);
}

bool net_address_bytes(const std::string& text, uint8_t bytes[16]) {
  if (text.empty() || text.find_first_not_of("0123456789abcdefABCDEF.:") != std::string::npos) {
    return false;
  }
  const bool v6 = net_host_is_v6(text);
  SysAddress address;
  // Winsock reads no address before a start-up: this call holds one of its own.
  if (net_startup() != Error::kOk) return false;
  const bool read = sys_resolve(text.c_str(), v6, &address);
  sys_cleanup();
  if (!read) return false;
  if (v6) {
    std::memcpy(bytes, address.bytes, 16);
  } else {
    std::memset(bytes, 0, 10);
    bytes[10] = bytes[11] = 0xff;
    std::memcpy(bytes + 12, address.bytes, 4);
  }
  return true;
}

bool net_same_address(const std::string& a, const std::string& b) {
  const std::string bare_a = a.substr(0, a.find('%'));
  const std::string bare_b = b.substr(0, b.find('%'));
  uint8_t bytes_a[16], bytes_b[16];
  if (!net_address_bytes(bare_a, bytes_a) || !net_address_bytes(bare_b, bytes_b)) {
    return bare_a == bare_b;
  }
  return std::memcmp(bytes_a, bytes_b, 16) == 0;
}

bool net_address_link_local(const std::string& text) {
  // Read from the text alone (no call of the platform, which a test's stand-in lacks): the
  // first group of an IPv6 address, in any letter case, within fe80::/10.
  if (!net_host_is_v6(text)) return false;
  unsigned group = 0;
  size_t digits = 0;
  for (; digits < text.size() && digits < 5 &&
         std::isxdigit(static_cast<unsigned char>(text[digits]));
       ++digits) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[digits])));
    group = group * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  const bool whole_group =
      digits >= 1 && digits <= 4 && digits < text.size() && text[digits] == ':';
  return whole_group && (group & 0xffc0) == 0xfe80;
}

std::string net_address_text(const uint8_t bytes[16]) {
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  SysAddress address;
  address.v6 = std::memcmp(bytes, kMapped, 12) != 0;
  std::memcpy(address.bytes, address.v6 ? bytes : bytes + 12, address.v6 ? 16 : 4);
  return text_of(address, false);
}

bool socket_address_valid(const char* text) {
  return sys_address_valid(text);
}
