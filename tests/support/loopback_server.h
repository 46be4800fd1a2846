// A TCP server on 127.0.0.1 for tests: each accepted connection reads one HTTP request
// (head and Content-Length body, or whatever arrives before the peer stops) and is
// answered with the next scripted reply.
#ifndef PORTWRANGLER_TESTS_SUPPORT_LOOPBACK_SERVER_H_
#define PORTWRANGLER_TESTS_SUPPORT_LOOPBACK_SERVER_H_

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ScriptedReply {
  std::string bytes;  // sent as they are
  int hold_ms = 0;    // keep the connection open this long after sending
  bool read_request = true;
};

class LoopbackServer {
 public:
  explicit LoopbackServer(std::vector<ScriptedReply> replies);
  ~LoopbackServer();
  int port() const { return port_; }
  /// The requests received, one per connection: waits up to 3 s for all of them.
  std::vector<std::string> requests();

 private:
  void serve();
  int listener_ = -1;
  int port_ = 0;
  std::vector<ScriptedReply> replies_;
  std::vector<std::string> requests_;
  std::mutex mutex_;
  std::thread thread_;
};

/// A UDP socket on 127.0.0.1 that sends each of the first `count` datagrams it gets back
/// to their sender (and gives up after 5 quiet seconds).
class LoopbackUdpEcho {
 public:
  explicit LoopbackUdpEcho(int count);
  ~LoopbackUdpEcho();
  int port() const { return port_; }

 private:
  int socket_ = -1;
  int port_ = 0;
  std::thread thread_;
};

/// A NAT-PMP/PCP server on port 5351 of a loopback address of this process's own (apart
/// from 127.0.0.1, where the tests of silence send), or of ::1 with `v6`: each of the
/// first `count` datagrams gets what `answer` makes of it (nothing for an empty string).
/// It gives up after 5 quiet seconds.
class LoopbackPortmapServer {
 public:
  using Answer = std::function<std::string(const std::string& request)>;
  LoopbackPortmapServer(bool v6, Answer answer, int count = 1);
  ~LoopbackPortmapServer();
  bool bound() const { return bound_; }
  /// The address it listens on, as a gateway's text.
  std::string address() const;

 private:
  bool v6_ = false;
  int socket_ = -1;
  bool bound_ = false;
  std::thread thread_;
};

/// A port on 127.0.0.1 where nothing listens (bound, then closed).
int closed_loopback_port();

/// Number of open file descriptors of this process.
int open_descriptor_count();

/// An HTTP 200 response carrying `body` with its Content-Length.
std::string http_ok(const std::string& body);

#endif  // PORTWRANGLER_TESTS_SUPPORT_LOOPBACK_SERVER_H_
