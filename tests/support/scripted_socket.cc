#include "tests/support/scripted_socket.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "net/socket_platform.h"

namespace {

struct Peer {
  std::deque<std::string> pieces;  // not sent yet
  std::string arrived;             // sent, not taken yet
  int waits = 0;
  std::string request;
};

Peer peer;
std::vector<NetInterface> listed;

// Stream sockets are all one descriptor, datagram sockets another.
constexpr SysSocket kStream = 3;
constexpr SysSocket kDatagram = 4;

struct Datagrams {
  std::deque<ScriptedDatagram> pending;
  long long now = 0;
  int sends = 0;
  std::string last;
};

Datagrams datagrams;

/// The four bytes of a dotted quad; false for anything else.
bool ipv4_of(const char* text, uint8_t bytes[4]) {
  int part = 0;
  unsigned value = 0;
  int digits = 0;
  for (const char* at = text;; ++at) {
    if (*at >= '0' && *at <= '9' && digits < 3) {
      value = value * 10 + static_cast<unsigned>(*at - '0');
      ++digits;
      continue;
    }
    if (digits == 0 || value > 255 || part > 3) return false;
    bytes[part++] = static_cast<uint8_t>(value);
    if (*at == '\0') return part == 4;
    if (*at != '.') return false;
    value = 0;
    digits = 0;
  }
}

bool datagram_due() {
  return !datagrams.pending.empty() && datagrams.pending.front().at_ms <= datagrams.now;
}

/// Sends the next piece when the client finds nothing left; false once the peer closed.
bool something_to_take() {
  if (!peer.arrived.empty()) return true;
  if (peer.pieces.empty()) return false;
  ++peer.waits;
  peer.arrived = peer.pieces.front();
  peer.pieces.pop_front();
  return true;
}

}  // namespace

void scripted_interfaces(const std::vector<NetInterface>& addresses) {
  listed = addresses;
}

void scripted_peer(const std::vector<std::string>& pieces) {
  peer = Peer();
  peer.pieces.assign(pieces.begin(), pieces.end());
  if (!peer.pieces.empty()) {  // the first piece is there when the client first looks
    peer.arrived = peer.pieces.front();
    peer.pieces.pop_front();
  }
}

int scripted_waits() {
  return peer.waits;
}

std::string scripted_request() {
  return peer.request;
}

void scripted_datagrams(const std::vector<ScriptedDatagram>& list) {
  datagrams = Datagrams();
  datagrams.pending.assign(list.begin(), list.end());
}

long long scripted_now_ms() {
  return datagrams.now;
}

void scripted_advance(long long milliseconds) {
  datagrams.now += milliseconds;
}

int scripted_sends() {
  return datagrams.sends;
}

std::string scripted_last_received() {
  return datagrams.last;
}

bool sys_startup(unsigned* version_word) {
  *version_word = 0x0202;
  return true;
}
void sys_cleanup() {}
SysSocket sys_socket(bool stream, bool) {
  return stream ? kStream : kDatagram;
}
bool sys_set_nonblocking(SysSocket) {
  return true;
}
void sys_close(SysSocket) {}
bool sys_resolve(const char* host, bool v6, SysAddress* address) {
  *address = SysAddress();
  address->v6 = v6;
  if (!v6 && ipv4_of(host, address->bytes)) return true;
  address->bytes[0] = 127;
  address->bytes[3] = 1;
  return true;
}
bool sys_address_text(const SysAddress& address, std::string* text) {
  if (address.v6) {
    *text = "127.0.0.1";
    return true;
  }
  *text = std::to_string(address.bytes[0]);
  for (int i = 1; i < 4; ++i) *text += "." + std::to_string(address.bytes[i]);
  return true;
}
bool sys_address_valid(const char*) {
  return true;
}
SysStatus sys_connect(SysSocket, const SysAddress&, int) {
  return SysStatus::kDone;
}
bool sys_connect_failed(SysSocket) {
  return false;
}

/// A wait on datagram sockets: the script's clock runs on to the next arrival, or by the
/// whole wait.
SysStatus datagram_wait(SysWait* waits, size_t count, int milliseconds) {
  if (!datagram_due() && !datagrams.pending.empty() &&
      datagrams.pending.front().at_ms <= datagrams.now + milliseconds) {
    datagrams.now = datagrams.pending.front().at_ms;
  }
  if (!datagram_due()) {
    datagrams.now += std::max(0, milliseconds);
    return SysStatus::kWouldBlock;
  }
  for (size_t i = 0; i < count; ++i) {
    waits[i].ready = waits[i].socket == kDatagram;
    waits[i].failed = false;
  }
  return SysStatus::kDone;
}

SysStatus sys_wait_any(SysWait* waits, size_t count, int milliseconds) {
  for (size_t i = 0; i < count; ++i) {
    if (waits[i].socket == kDatagram) return datagram_wait(waits, count, milliseconds);
  }
  // Readable either way: a piece to take, or the close after the last one.
  for (size_t i = 0; i < count; ++i) {
    if (!waits[i].for_write) something_to_take();
    waits[i].ready = true;
    waits[i].failed = false;
  }
  return SysStatus::kDone;
}

SysStatus sys_send(SysSocket, const char* data, size_t length, size_t* count) {
  peer.request.append(data, length);
  *count = length;
  return SysStatus::kDone;
}

SysStatus sys_receive(SysSocket, char* buffer, size_t capacity, size_t* count) {
  *count = std::min(capacity, peer.arrived.size());
  std::memcpy(buffer, peer.arrived.data(), *count);
  peer.arrived.erase(0, *count);
  return SysStatus::kDone;
}

SysStatus sys_send_to(SysSocket, const char*, size_t length, const SysAddress&, int,
                      size_t* count) {
  ++datagrams.sends;
  *count = length;
  return SysStatus::kDone;
}

SysStatus sys_receive_from(SysSocket, char* buffer, size_t capacity, SysAddress* sender,
                           size_t* count) {
  if (!datagram_due()) return SysStatus::kWouldBlock;
  ScriptedDatagram datagram = std::move(datagrams.pending.front());
  datagrams.pending.pop_front();
  *sender = SysAddress();
  if (!ipv4_of(datagram.source.c_str(), sender->bytes)) sender->bytes[0] = 127;
  sender->port = static_cast<uint16_t>(datagram.port);
  // A datagram longer than the buffer is cut, as the system cuts it.
  *count = std::min(capacity, datagram.bytes.size());
  std::memcpy(buffer, datagram.bytes.data(), *count);
  datagrams.last = datagram.bytes.substr(0, *count);
  return SysStatus::kDone;
}
bool sys_local_address(SysSocket, SysAddress*) {
  return false;
}
bool sys_set_multicast_interface(SysSocket, bool, const NetInterface&) {
  return false;
}
bool sys_interfaces(bool v6, std::vector<NetInterface>* interfaces) {
  for (const NetInterface& at : listed) {
    if (net_host_is_v6(at.address) == v6) interfaces->push_back(at);
  }
  return true;
}
bool sys_wake_open(SysSocket*, SysSocket*) {
  return false;
}
void sys_wake(SysSocket) {}
void sys_wake_drain(SysSocket) {}
bool sys_bind(SysSocket, const SysAddress&, int) {
  return false;
}
bool sys_bind_shared(SysSocket, int, bool) {
  return false;
}
bool sys_join_group(SysSocket, const char*, const NetInterface&) {
  return false;
}
