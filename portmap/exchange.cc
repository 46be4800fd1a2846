#include "portmap/exchange.h"

#include <chrono>
#include <random>

#include "base/trace.h"
#include "net/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

int elapsed_ms(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

/// A wait of `ms` moved by up to a tenth either way, so that hosts started together
/// do not send together.
int jittered(int ms) {
  static std::minstd_rand random(std::random_device{}());
  std::uniform_int_distribution<int> spread(-ms / 10, ms / 10);
  return ms + spread(random);
}

}  // namespace

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
