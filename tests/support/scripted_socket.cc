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

bool sys_startup(unsigned* version_word) {
  *version_word = 0x0202;
  return true;
}
void sys_cleanup() {}
SysSocket sys_socket(bool, bool) {
  return 3;
}
bool sys_set_nonblocking(SysSocket) {
  return true;
}
void sys_close(SysSocket) {}
bool sys_resolve(const char*, bool v6, SysAddress* address) {
  *address = SysAddress();
  address->v6 = v6;
  address->bytes[0] = 127;
  address->bytes[3] = 1;
  return true;
}
bool sys_address_text(const SysAddress&, std::string* text) {
  *text = "127.0.0.1";
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

SysStatus sys_wait_any(SysWait* waits, size_t count, int) {
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

SysStatus sys_send_to(SysSocket, const char*, size_t, const SysAddress&, int, size_t*) {
  return SysStatus::kFailed;
}
SysStatus sys_receive_from(SysSocket, char*, size_t, SysAddress*, size_t*) {
  return SysStatus::kFailed;
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
