#include "tests/support/loopback_server.h"

// The server runs beside the socket layer under test, on each system's own sockets.
#ifdef _WIN32
// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

#ifdef _WIN32
using socklen_t = int;
constexpr int MSG_NOSIGNAL = 0;  // no SIGPIPE to keep away
void close_socket(int fd) {
  closesocket(static_cast<SOCKET>(fd));
}
bool readable_within(int fd, int milliseconds) {
  WSAPOLLFD p{static_cast<SOCKET>(fd), POLLIN, 0};
  return WSAPoll(&p, 1, milliseconds) > 0;
}
/// Winsock wants a start-up before the first call; the server takes its own.
struct WinsockStarted {
  WinsockStarted() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
} winsock_started;
#else
void close_socket(int fd) {
  close(fd);
}
bool readable_within(int fd, int milliseconds) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, milliseconds) > 0;
}
#endif

int bind_loopback(int* port, int type = SOCK_STREAM) {
  int fd = static_cast<int>(socket(AF_INET, type, 0));
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

/// Reads one request: the head, then as many body bytes as it announces. Gives up
/// after two quiet seconds so that a broken client cannot hang a test.
std::string read_request(int fd) {
  std::string data;
  char buffer[4096];
  for (;;) {
    size_t head_end = data.find("\r\n\r\n");
    if (head_end != std::string::npos) {
      size_t at = data.find("Content-Length:");
      size_t want = at != std::string::npos && at < head_end
                        ? std::strtoul(data.c_str() + at + 15, nullptr, 10)
                        : 0;
      if (data.size() >= head_end + 4 + want) return data;
    }
    if (!readable_within(fd, 2000)) return data;
    ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) return data;
    data.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace

LoopbackServer::LoopbackServer(std::vector<ScriptedReply> replies) : replies_(std::move(replies)) {
  listener_ = bind_loopback(&port_);
  listen(listener_, 8);
  thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
  thread_.join();
  close_socket(listener_);
}

void LoopbackServer::serve() {
  for (const ScriptedReply& reply : replies_) {
    if (!readable_within(listener_, 5000)) return;  // the client never came: do not hang
    int fd = static_cast<int>(accept(listener_, nullptr, nullptr));
    if (fd < 0) return;
    std::string request = reply.read_request ? read_request(fd) : std::string();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    if (!reply.bytes.empty()) send(fd, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL);
    if (reply.hold_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.hold_ms));
    close_socket(fd);
  }
}

std::vector<std::string> LoopbackServer::requests() {
  // The server thread may still be taking the last request in: give it a moment.
  for (int i = 0; i < 300; ++i) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (requests_.size() >= replies_.size()) return requests_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

LoopbackUdpEcho::LoopbackUdpEcho(int count) {
  socket_ = bind_loopback(&port_, SOCK_DGRAM);
  thread_ = std::thread([this, count] {
    char buffer[2048];
    for (int i = 0; i < count && readable_within(socket_, 5000); ++i) {
      sockaddr_in sender{};
      socklen_t length = sizeof(sender);
      int got = static_cast<int>(recvfrom(socket_, buffer, sizeof(buffer), 0,
                                          reinterpret_cast<sockaddr*>(&sender), &length));
      if (got < 0) return;
      sendto(socket_, buffer, got, 0, reinterpret_cast<sockaddr*>(&sender), length);
    }
  });
}

LoopbackUdpEcho::~LoopbackUdpEcho() {
  thread_.join();
  close_socket(socket_);
}

namespace {

/// An address of loopback's 127/8 of this process's own (never 127.0.0.1, where the
/// tests of silence send): test processes run side by side, each its own 5351.
uint32_t own_loopback() {
#ifdef _WIN32
  // Wine binds a socket to every address whatever it names, and answers from 127.0.0.1;
  // the Windows cases run one at a time in one process.
  return 0x7f000001u;
#else
  return 0x7f000000u | (2 + static_cast<uint32_t>(getpid()) % 0xfffffdu);
#endif
}

/// A UDP socket on port 5351 of own_loopback() or ::1; -1 when it cannot be bound.
int bind_once(bool v6) {
  int fd = static_cast<int>(socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0));
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (v6) {
    auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
    address->sin6_family = AF_INET6;
    address->sin6_addr = in6addr_loopback;
    address->sin6_port = htons(5351);
    length = sizeof(*address);
  } else {
    auto* address = reinterpret_cast<sockaddr_in*>(&storage);
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(own_loopback());
    address->sin_port = htons(5351);
    length = sizeof(*address);
  }
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0) return fd;
  if (fd >= 0) close_socket(fd);
  return -1;
}

/// ::1 has one 5351 for every process: a test beside this one may hold it a moment.
int bind_portmap(bool v6) {
  int fd = bind_once(v6);
  for (int tries = 0; fd < 0 && v6 && tries < 60; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    fd = bind_once(v6);
  }
  return fd;
}

}  // namespace

LoopbackPortmapServer::LoopbackPortmapServer(bool v6, Answer answer, int count) : v6_(v6) {
  socket_ = bind_portmap(v6);
  bound_ = socket_ >= 0;
  if (!bound_) return;
  thread_ = std::thread([this, answer, count] {
    char buffer[2048];
    for (int i = 0; i < count && readable_within(socket_, 5000); ++i) {
      sockaddr_storage sender{};
      socklen_t length = sizeof(sender);
      const int got = static_cast<int>(recvfrom(socket_, buffer, sizeof(buffer), 0,
                                                reinterpret_cast<sockaddr*>(&sender), &length));
      if (got < 0) return;
      const std::string reply = answer(std::string(buffer, static_cast<size_t>(got)));
      if (reply.empty()) continue;
      sendto(socket_, reply.data(), static_cast<int>(reply.size()), 0,
             reinterpret_cast<sockaddr*>(&sender), length);
    }
  });
}

std::string LoopbackPortmapServer::address() const {
  if (v6_) return "::1";
  const uint32_t host = own_loopback();
  return "127." + std::to_string((host >> 16) & 0xff) + "." + std::to_string((host >> 8) & 0xff) +
         "." + std::to_string(host & 0xff);
}

LoopbackPortmapServer::~LoopbackPortmapServer() {
  if (thread_.joinable()) thread_.join();
  if (socket_ >= 0) close_socket(socket_);
}

int closed_loopback_port() {
  int port = 0;
  int fd = bind_loopback(&port);
  close_socket(fd);
  return port;
}

int open_descriptor_count() {
#ifdef _WIN32
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return -1;
  return static_cast<int>(count);
#else
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
#endif
}

std::string http_ok(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Type: text/xml\r\n\r\n" + body;
}
