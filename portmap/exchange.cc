#include "portmap/exchange.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "base/limits.h"
#include "base/trace.h"
#include "net/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

int elapsed_ms(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::minstd_rand& random_source() {
  static std::minstd_rand random(std::random_device{}());
  return random;
}

/// A wait of `ms` moved by up to a tenth either way, so that hosts started together
/// do not send together.
int jittered(int ms) {
  std::uniform_int_distribution<int> spread(-ms / 10, ms / 10);
  return ms + spread(random_source());
}

constexpr int kNatpmpFirstWaitMs = 250;
constexpr int kNatpmpLastWaitMs = 64000;
constexpr int kPcpFirstWaitMs = 3000;       // IRT
constexpr int kPcpLongestWaitMs = 1024000;  // MRT

}  // namespace

int natpmp_retransmit_ms(int tries) {
  int wait = kNatpmpFirstWaitMs;
  for (int i = 1; i < tries && wait < kNatpmpLastWaitMs; ++i) wait *= 2;
  return wait;
}

int pcp_retransmit_ms(int previous_ms, double rand) {
  const double base =
      previous_ms <= 0 ? kPcpFirstWaitMs : std::min(2.0 * previous_ms, double{kPcpLongestWaitMs});
  return static_cast<int>((1 + rand) * base);
}

double pcp_retransmit_rand() {
  std::uniform_real_distribution<double> spread(-0.1, 0.1);
  return spread(random_source());
}

PortmapSchedule natpmp_one_shot_schedule() {
  return {{0, 250, 750, 1750, 3750}, 7750};
}

PortmapSchedule pcp_one_shot_schedule() {
  const int second = jittered(3000);
  return {{0, second}, second + jittered(5000)};
}

Error portmap_exchange(const std::string& gateway, const Bytes& request,
                       const PortmapSchedule& schedule, const PortmapTake& take) {
  Socket socket;
  Error error = udp_open(&socket, net_host_is_v6(gateway));
  if (error != Error::kOk) return error;
  const Clock::time_point start = Clock::now();
  size_t sent = 0;
  char buffer[kPcpMessageMax + 4];
  for (;;) {
    const int now = elapsed_ms(start);
    if (now >= schedule.give_up_at) break;
    if (sent < schedule.send_at.size() && now >= schedule.send_at[sent]) {
      error = udp_send_to(socket.get(), gateway, kPortmapServerPort,
                          reinterpret_cast<const char*>(request.data()), request.size());
      // A send that fails (no route yet) is tried again at the next time.
      if (error != Error::kOk) trace("portmap: send to %s failed", gateway.c_str());
      ++sent;
      continue;
    }
    const int next = sent < schedule.send_at.size() ? schedule.send_at[sent] : schedule.give_up_at;
    size_t received = 0;
    std::string sender;
    int sender_port = 0;
    error = udp_receive_from(socket.get(), buffer, sizeof(buffer), &received, &sender, &sender_port,
                             next - now);
    if (error != Error::kOk) return error;
    if (received == 0) continue;
    if (sender != gateway || sender_port != kPortmapServerPort) {
      trace("portmap: a datagram from %s port %d passed over: not the gateway's", sender.c_str(),
            sender_port);
      continue;
    }
    const WireCheck check = take(reinterpret_cast<const uint8_t*>(buffer), received);
    if (check == WireCheck::kOk) return Error::kOk;
    trace("portmap: an answer of %zu bytes passed over: %s", received, wire_check_text(check));
  }
  return Error::kPortmapNoAnswer;
}

Error portmap_listen(Socket* out) {
  return udp_listen_group(out, kPortmapAnnounceGroup, kPortmapClientPort);
}

Error portmap_take_announcement(SocketHandle* listener, const std::string& gateway,
                                WireAnnouncement* out) {
  char buffer[kPcpMessageMax + 4];
  for (int i = 0; i < kPortmapAnnouncementsAtOnce; ++i) {
    size_t received = 0;
    std::string sender;
    int sender_port = 0;
    const Error error =
        udp_receive_from(listener, buffer, sizeof(buffer), &received, &sender, &sender_port, 0);
    if (error != Error::kOk) return error;
    if (received == 0) break;
    if (sender != gateway || sender_port != kPortmapServerPort) {
      trace("portmap: an announcement from %s port %d passed over: not the gateway's",
            sender.c_str(), sender_port);
      continue;
    }
    const WireCheck check =
        wire_decode_announcement(reinterpret_cast<const uint8_t*>(buffer), received, out);
    if (check == WireCheck::kOk) return Error::kOk;
    trace("portmap: an announcement of %zu bytes passed over: %s", received,
          wire_check_text(check));
  }
  return Error::kPortmapNoAnswer;
}
