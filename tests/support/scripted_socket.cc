#include "tests/support/scripted_socket.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "net/socket.h"

namespace {

struct Peer {
  std::deque<std::string> pieces;  // not sent yet
  std::string arrived;             // sent, not taken yet
  int waits = 0;
  std::string request;
};

Peer peer;

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

int tcp_connect(SocketHandle** out, const char*, int, int) {
  *out = new SocketHandle{3};
  return kOk;
}

int socket_close(SocketHandle* handle) {
  delete handle;
  return kOk;
}

int tcp_send_all(SocketHandle*, const char* data, size_t length, size_t* sent) {
  peer.request.append(data, length);
  *sent = length;
  return kOk;
}

int tcp_peek(SocketHandle*, char* buffer, size_t capacity, size_t* received, int) {
  *received = 0;
  if (!something_to_take()) return kOk;
  *received = std::min(capacity, peer.arrived.size());
  std::memcpy(buffer, peer.arrived.data(), *received);
  return kOk;
}

int tcp_receive(SocketHandle*, char* buffer, size_t capacity, size_t* received, int) {
  size_t total = 0;
  while (total < capacity && something_to_take()) {
    size_t take = std::min(capacity - total, peer.arrived.size());
    std::memcpy(buffer + total, peer.arrived.data(), take);
    peer.arrived.erase(0, take);
    total += take;
  }
  *received = total;
  return kOk;
}
