// The keep loop against a router on loopback that keeps one entry: many renewals in a
// fast loop (the waits handed back at once), with descriptors and heap flat; an entry
// lost and added again; another host taking the port; the router away and back.
#include "hold/loop.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "flows/pinhole.h"
#include "hold/forwarding.h"
#include "render/hold_lines.h"
#include "tests/support/loopback_server.h"
#include "tests/support/router_replies.h"

namespace {

/// A router whose table holds at most the one entry the loop keeps. It keeps nothing of
/// what it was sent, so that its own heap stays flat beside the loop's.
class OneEntryRouter {
 public:
  OneEntryRouter() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 16);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneEntryRouter() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  GatewayHandle gateway() const {
    GatewayHandle gateway;
    gateway.service_type = "WANIPConnection:1";
    gateway.control_url = "http://127.0.0.1:" + std::to_string(port_) + "/ctl";
    return gateway;
  }
  std::atomic<bool> present{false};
  std::atomic<bool> away{false};  // every request answered by a closed connection
  std::atomic<int> adds{0};
  std::atomic<int> removals{0};
  std::atomic<int> lease{0};  // what the last add asked for
  std::mutex mutex;
  std::string owner = "10.0.0.2";  // the client the entry names

  /// Waits (at most a second) until the server holds no connection of its own, so that a
  /// count of the process's descriptors counts the client's alone.
  void settle() const {
    for (int i = 0; i < 1000 && serving_; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

 private:
  std::string answer(const std::string& request) {
    std::lock_guard<std::mutex> lock(mutex);
    if (request.find("#GetGenericPortMappingEntry") != std::string::npos) {
      return fault_response(713);  // the table is listed as empty
    }
    if (request.find("#GetSpecificPortMappingEntry") != std::string::npos) {
      if (!present) return fault_response(714);
      return soap_response("GetSpecificPortMappingEntry",
                           "<NewInternalPort>22</NewInternalPort><NewInternalClient>" + owner +
                               "</NewInternalClient><NewEnabled>1</NewEnabled>"
                               "<NewPortMappingDescription>ssh</NewPortMappingDescription>"
                               "<NewLeaseDuration>" +
                               std::to_string(lease.load()) + "</NewLeaseDuration>");
    }
    if (request.find("#AddPortMapping") != std::string::npos) {
      const size_t at = request.find("<NewLeaseDuration>") + 18;
      lease = std::atoi(request.c_str() + at);
      present = true;
      owner = "10.0.0.2";
      ++adds;
      return soap_response("AddPortMapping", "");
    }
    if (request.find("#DeletePortMapping") != std::string::npos) {
      ++removals;
      present = false;
      return soap_response("DeletePortMapping", "");
    }
    return fault_response(401);
  }
  void serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      serving_ = true;
      const int connection = accept(listener_, nullptr, nullptr);
      if (connection < 0) {
        serving_ = false;
        continue;
      }
      std::string request;
      char buffer[4096];
      ssize_t got;
      // The envelope ends the request: every one this router answers has a body.
      while (request.find("</s:Envelope>") == std::string::npos &&
             (got = recv(connection, buffer, sizeof(buffer), 0)) > 0) {
        request.append(buffer, static_cast<size_t>(got));
      }
      if (!away) {
        const std::string reply = answer(request);
        send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
      close(connection);
      serving_ = false;
    }
  }
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> serving_{false};
  std::thread thread_;
};

RequestRecord ssh_request(uint32_t lease) {
  RequestRecord request;
  request.protocol = "TCP";
  request.internal_port = 22;
  request.external_port = 2222;
  request.description = "ssh";
  request.local_address = "10.0.0.2";
  request.lease_seconds = lease;
  return request;
}

/// The loop's clock moved on by each wait, which the test hands back at once.
KeepWaiter waits_in_turn(std::function<bool(int)> wait) {
  auto now = std::make_shared<long long>(0);
  return KeepWaiter(
      [now, wait](int milliseconds, const std::vector<long long>&) {
        *now += milliseconds;
        return wait(milliseconds);
      },
      [now] { return *now; });
}

/// Holds the forwarding of `request` as --keep --json does.
Outcome keep_forwarding(const RequestRecord& request, GatewayHandle* gateway,
                        const DiscoveryOptions& discovery, const KeepWaiter& waiter) {
  std::vector<HeldEntry> held;
  static const std::unique_ptr<HoldSink> lines = hold_lines(true);
  held.push_back(hold_forwarding(request, lines.get()));
  return hold_run(&held, gateway, discovery, waiter);
}

size_t heap_in_use() {
  return mallinfo2().uordblks;
}

TEST(Keep, ManyRenewalsLeaveDescriptorsAndHeapFlat) {
  OneEntryRouter router;
  GatewayHandle gateway = router.gateway();
  constexpr int kRenewals = 700;
  int waits = 0;
  int descriptors_early = 0, descriptors_late = 0;
  size_t heap_early = 0, heap_late = 0;
  int first_wait = 0;
  KeepWaiter waiter = waits_in_turn([&](int milliseconds) {
    if (waits == 0) first_wait = milliseconds;
    ++waits;
    if (waits == 100 || waits == kRenewals) router.settle();
    if (waits == 100) descriptors_early = open_descriptor_count(), heap_early = heap_in_use();
    if (waits == kRenewals) descriptors_late = open_descriptor_count(), heap_late = heap_in_use();
    return waits > kRenewals;
  });
  const Outcome outcome = keep_forwarding(ssh_request(4), &gateway, {}, waiter);
  EXPECT_EQ(outcome.status, Status::kSuccess);
  EXPECT_EQ(router.adds, kRenewals + 1);
  EXPECT_EQ(router.removals, 1);
  EXPECT_FALSE(router.present);
  EXPECT_EQ(descriptors_late, descriptors_early);
  // Over 600 renewals, a leak of 8 bytes each would show; the allocator's own bookkeeping
  // settles within a few kilobytes.
  EXPECT_LT(heap_late, heap_early + 4096) << heap_early << " -> " << heap_late;
  EXPECT_EQ(first_wait, 2000);  // half the 4 s granted
}

TEST(Keep, AnEntryLostIsAddedAgainAndATakenPortIsLeftAlone) {
  OneEntryRouter router;
  GatewayHandle gateway = router.gateway();
  int waits = 0;
  KeepWaiter waiter = waits_in_turn([&](int) {
    ++waits;
    std::lock_guard<std::mutex> lock(router.mutex);
    if (waits == 2) router.present = false;      // a reboot: the table is empty
    if (waits == 4) router.owner = "10.0.0.99";  // another host holds the port now
    return waits > 10;
  });
  const Outcome outcome = keep_forwarding(ssh_request(60), &gateway, {}, waiter);
  EXPECT_EQ(outcome.exit, ExitStatus::kClash);
  EXPECT_EQ(waits, 4);
  EXPECT_EQ(router.adds, 4);  // the first, a renewal, the one after the loss, a renewal
  EXPECT_EQ(router.removals, 0);
  std::lock_guard<std::mutex> lock(router.mutex);
  EXPECT_EQ(router.owner, "10.0.0.99");
}

TEST(Keep, ARouterAwayIsWaitedForWithGrowingWaits) {
  OneEntryRouter router;
  GatewayHandle gateway = router.gateway();
  std::vector<int> asked;
  KeepWaiter waiter = waits_in_turn([&](int milliseconds) {
    asked.push_back(milliseconds);
    if (asked.size() == 1) router.away = true;
    if (asked.size() == 9) router.away = false;
    return asked.size() > 10;
  });
  // Discovery of a URL where nothing answers: the router comes back where it was.
  DiscoveryOptions discovery{
      "http://127.0.0.1:" + std::to_string(closed_loopback_port()) + "/rootDesc.xml", ""};
  const Outcome outcome = keep_forwarding(ssh_request(10), &gateway, discovery, waiter);
  EXPECT_EQ(outcome.status, Status::kSuccess);
  const std::vector<int> expected = {5000, 1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
  EXPECT_EQ(std::vector<int>(asked.begin(), asked.begin() + 9), expected);
  EXPECT_EQ(asked.at(9), 5000);  // held again: half the lease
  EXPECT_EQ(router.removals, 1);
}

/// A kind of entry that answers its renewals from a script (held once the script is
/// over) and writes down each event and the wait after it: the loop's decisions alone.
/// Writes the name of each event the loop tells into a log, one word each.
class EventNames : public HoldSink {
 public:
  explicit EventNames(std::string* log) : log_(log) {}
  void entry_event(const HoldEvent& event) override {
    *log_ += std::string(log_->empty() ? "" : " ") + event.name;
  }
  void forwarding_added(const RequestRecord&, const AddResult&) override {}
  void pinhole_added(const PinholeResult&) override {}
  void set_event(const std::string&, const char*, const std::string&) override {}
  void note(const std::string&) override {}
  void reach_note(const std::string&) override {}

 private:
  std::string* log_;
};

struct ScriptedKind {
  std::vector<HoldStep> renewals;
  size_t next = 0;
  std::string log;
  EventNames names{&log};
  int retry_ms = 0;           // what an away answer says of the protocol's own wait
  std::string address;        // the router's external address each held answer names, if any
  long long released_by = 0;  // the end its removal was given
  bool lost_all = false;      // each renewal's answer says the router lost every mapping
};

HeldEntry scripted_entry(const std::shared_ptr<ScriptedKind>& script, long lease) {
  auto held = [lease](ScriptedKind* s, const GatewayHandle&) {
    HoldAnswer answer;
    answer.event = "added";
    answer.lease_seconds = lease;
    answer.external_address = s->address;
    return answer;
  };
  auto renew = [](ScriptedKind* s, const GatewayHandle&) {
    HoldAnswer answer;
    answer.external_address = s->address;
    answer.step = s->next < s->renewals.size() ? s->renewals[s->next++] : HoldStep::kHeld;
    answer.ending = {Status::kAddRefused, kMessageAddRefused, ExitStatus::kRefused};
    if (answer.step == HoldStep::kTaken) answer.ending.exit = ExitStatus::kClash;
    if (answer.step == HoldStep::kAway) answer.retry_ms = s->retry_ms;
    answer.router_lost_all = s->lost_all;
    return answer;
  };
  auto gone = [](ScriptedKind* s, const GatewayHandle& g) {
    s->released_by = g.deadline.at;
    // A removal takes its time: the next one must not be given more for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    HoldAnswer answer;
    answer.step = HoldStep::kGone;
    answer.event = "removed";
    return answer;
  };
  HeldEntry entry;
  entry.lease_seconds = lease;
  entry.kind.hold = [script, held](const GatewayHandle& g) { return held(script.get(), g); };
  entry.kind.readd = [script, held](const GatewayHandle& g) { return held(script.get(), g); };
  entry.kind.renew = [script, renew](const GatewayHandle& g) { return renew(script.get(), g); };
  entry.kind.release = [script, gone](const GatewayHandle& g) { return gone(script.get(), g); };
  entry.kind.subject = [](const HoldAnswer&) { return HeldSubject(); };
  entry.sink = &script->names;
  return entry;
}

TEST(Keep, TheLoopsDecisionsForAnyKind) {
  struct Case {
    std::vector<HoldStep> renewals;
    const char* events;
    std::vector<int> waits;  // asked of the waiter
    size_t stop_at;          // the wait that the stop ends; past the last: none
    ExitStatus exit;
  };
  using S = HoldStep;
  const Case cases[] = {
      // The control: renewed at half the 4 s lease until the stop, then removed.
      {{}, "added renewed renewed renewed removed", {2000, 2000, 2000, 2000}, 4, ExitStatus::kDone},
      // A refusal waits the back-off; three in a row end the holding, removed.
      {{S::kRefused, S::kHeld},
       "added refused renewed renewed renewed removed",
       {2000, 1000, 2000, 2000, 2000},
       5,
       ExitStatus::kDone},
      {{S::kRefused, S::kRefused, S::kRefused},
       "added refused refused refused removed",
       {2000, 1000, 2000},
       99,
       ExitStatus::kRefused},
      // Away: the back-off, the router looked for again from the second try on.
      {{S::kAway, S::kAway, S::kAway, S::kHeld},
       "added unreachable unreachable renewed renewed removed",
       {2000, 1000, 2000, 2000, 2000},
       5,
       ExitStatus::kDone},
      // Lost: added again. Our own entry refused as a conflict: removed, added again.
      {{S::kGone},
       "added lost added renewed renewed removed",
       {2000, 2000, 2000, 2000},
       4,
       ExitStatus::kDone},
      {{S::kConflict},
       "added conflict removed added renewed renewed removed",
       {2000, 2000, 2000, 2000},
       4,
       ExitStatus::kDone},
      // Taken: nothing of ours to remove.
      {{S::kTaken}, "added taken", {2000}, 99, ExitStatus::kClash},
  };
  DiscoveryOptions nowhere{
      "http://127.0.0.1:" + std::to_string(closed_loopback_port()) + "/rootDesc.xml", ""};
  for (const Case& c : cases) {
    auto script = std::make_shared<ScriptedKind>();
    script->renewals = c.renewals;
    std::vector<HeldEntry> held;
    held.push_back(scripted_entry(script, 4));
    std::vector<int> waits;
    const KeepWaiter waiter = waits_in_turn([&](int milliseconds) {
      waits.push_back(milliseconds);
      return waits.size() >= c.stop_at;
    });
    GatewayHandle gateway;
    const Outcome outcome = hold_run(&held, &gateway, nowhere, waiter);
    EXPECT_EQ(script->log, c.events);
    EXPECT_EQ(waits, c.waits) << c.events;
    EXPECT_EQ(exit_status_of(outcome), c.exit) << c.events;
  }
}

TEST(Keep, EachEntryOfASetRenewsOnItsOwnLeaseInOneWait) {
  auto short_lease = std::make_shared<ScriptedKind>();
  auto long_lease = std::make_shared<ScriptedKind>();
  std::vector<HeldEntry> held;
  held.push_back(scripted_entry(short_lease, 4));  // renewed every 2 s
  held.push_back(scripted_entry(long_lease, 10));  // every 5 s
  std::vector<int> waits;
  const KeepWaiter waiter = waits_in_turn([&](int milliseconds) {
    waits.push_back(milliseconds);
    return waits.size() == 7;
  });
  GatewayHandle gateway;
  EXPECT_EQ(hold_run(&held, &gateway, {}, waiter).status, Status::kSuccess);
  // Steps due at 2, 4, 5, 6, 8 and 10 s (both; the stop comes before the second):
  // one wait at a time, to the next of them.
  EXPECT_EQ(waits, (std::vector<int>{2000, 2000, 1000, 1000, 2000, 2000, 0}));
  EXPECT_EQ(short_lease->log, "added renewed renewed renewed renewed renewed removed");
  EXPECT_EQ(long_lease->log, "added renewed removed");
  // At the stop, the set's removals share one end: 15 s from the stop, not 15 s each.
  EXPECT_EQ(short_lease->released_by, long_lease->released_by);
  EXPECT_LE(short_lease->released_by, clock_ms() + 15000);
}

TEST(Keep, AnotherExternalAddressIsToldOfEveryEntryAtOnce) {
  auto ssh = std::make_shared<ScriptedKind>();
  auto game = std::make_shared<ScriptedKind>();
  ssh->address = game->address = "80.81.82.2";
  std::vector<HeldEntry> held;
  held.push_back(scripted_entry(ssh, 4));      // renewed every 2 s
  held.push_back(scripted_entry(game, 3600));  // every 30 minutes
  std::vector<int> waits;
  const KeepWaiter waiter = waits_in_turn([&](int milliseconds) {
    waits.push_back(milliseconds);
    // The router's WAN address changes before ssh's second renewal (the first, with the
    // same address, is the control).
    if (waits.size() == 2) ssh->address = game->address = "80.81.83.7";
    return waits.size() == 4;
  });
  GatewayHandle gateway;
  EXPECT_EQ(hold_run(&held, &gateway, {}, waiter).status, Status::kSuccess);
  EXPECT_EQ(ssh->log, "added renewed changed removed");
  EXPECT_EQ(game->log, "added changed removed");  // at once, not in half an hour
  EXPECT_EQ(waits, (std::vector<int>{2000, 2000, 0, 2000}));
  EXPECT_EQ(held[1].external_address, "80.81.83.7");
}

TEST(Keep, AHeldSetLooksAtATakenPortAgainAndReloadsByItsLines) {
  auto ssh = std::make_shared<ScriptedKind>();
  ssh->renewals = {HoldStep::kTaken};  // another host holds the port at its first renewal
  auto game = std::make_shared<ScriptedKind>();
  auto web = std::make_shared<ScriptedKind>();
  auto in_set = [](HeldEntry entry, const char* key) {
    entry.key = key;
    entry.retry_taken = true;
    return entry;
  };
  std::vector<HeldEntry> held;
  held.push_back(in_set(scripted_entry(ssh, 3600), "ssh"));
  held.push_back(in_set(scripted_entry(game, 7200), "game"));
  auto game_again = std::make_shared<ScriptedKind>();
  HoldSetCalls set;
  set.reread = [&](std::vector<HeldEntry>* wanted) {
    wanted->push_back(in_set(scripted_entry(game_again, 7200), "game"));  // the same line
    wanted->push_back(in_set(scripted_entry(web, 7200), "web"));          // a new one
    return true;
  };
  std::vector<int> waits;
  bool reload = false;
  KeepWaiter waiter = waits_in_turn([&](int milliseconds) {
    waits.push_back(milliseconds);
    reload = waits.size() == 4;
    return waits.size() == 5;
  });
  waiter.reload_asked = [&reload] {
    const bool asked = reload;
    reload = false;
    return asked;
  };
  GatewayHandle gateway;
  EXPECT_EQ(hold_run(&held, &gateway, {}, waiter, &set).status, Status::kSuccess);
  // At 1800 s the port is taken; 600 s later it is free and added again; at 3600 s the
  // game's renewal; at 4200 s the reload: ssh gone, game untouched, web new; the stop.
  EXPECT_EQ(waits, (std::vector<int>{1800000, 600000, 1200000, 600000, 3000000}));
  EXPECT_EQ(ssh->log, "added taken added removed");
  EXPECT_EQ(game->log, "added renewed removed");
  EXPECT_EQ(game_again->log, "");  // the line held already: not added again
  EXPECT_EQ(web->log, "added removed");
}

TEST(Keep, AnAwayAnswerMayNameItsProtocolsOwnWait) {
  for (const int retry : {250, 0}) {
    auto script = std::make_shared<ScriptedKind>();
    script->renewals = {HoldStep::kAway, HoldStep::kAway};
    script->retry_ms = retry;
    std::vector<HeldEntry> held;
    held.push_back(scripted_entry(script, 4));
    held.back().router = kHoldRouterPortmap;  // no UPnP router to look for again
    std::vector<int> waits;
    const KeepWaiter waiter = waits_in_turn([&](int milliseconds) {
      waits.push_back(milliseconds);
      return waits.size() == 4;
    });
    GatewayHandle gateway;
    EXPECT_EQ(hold_run(&held, &gateway, {}, waiter).status, Status::kSuccess);
    EXPECT_EQ(script->log, "added unreachable unreachable renewed removed");
    // The protocol's wait where it names one; the loop's back-off (the control) where not.
    const std::vector<int> expected = retry != 0 ? std::vector<int>{2000, 250, 250, 2000}
                                                 : std::vector<int>{2000, 1000, 2000, 2000};
    EXPECT_EQ(waits, expected);
  }
}

TEST(Keep, AnAnnouncementBringsItsRoutersEntriesForward) {
  auto mapping = std::make_shared<ScriptedKind>();
  auto forwarding = std::make_shared<ScriptedKind>();
  std::vector<HeldEntry> held;
  held.push_back(scripted_entry(mapping, 20));  // renewed at 10 s
  held.back().router = kHoldRouterPortmap;
  held.push_back(scripted_entry(forwarding, 20));  // the control: another router's
  int heard_at = 0;
  std::vector<HoldListener> listeners(1);
  listeners[0].router = kHoldRouterPortmap;
  listeners[0].sockets = [] { return std::vector<long long>{42}; };
  std::vector<int> waits;
  listeners[0].heard = [&] { return waits.size() == 1 && heard_at++ == 0 ? 1500 : -1; };
  auto now = std::make_shared<long long>(0);
  const KeepWaiter waiter(
      [&](int milliseconds, const std::vector<long long>& watch) {
        EXPECT_EQ(watch, std::vector<long long>{42});
        waits.push_back(milliseconds);
        // The first wait ends at 3 s: the listener's socket has something to read.
        *now += waits.size() == 1 ? 3000 : milliseconds;
        return waits.size() == 4;
      },
      [now] { return *now; });
  GatewayHandle gateway;
  EXPECT_EQ(hold_run(&held, &gateway, {}, waiter, nullptr, listeners).status, Status::kSuccess);
  // Heard at 3 s: the mapping is renewed 1.5 s later, then on its lease (14.5 s); the
  // forwarding at 10 s as before.
  EXPECT_EQ(waits, (std::vector<int>{10000, 1500, 5500, 4500}));
  EXPECT_EQ(mapping->log, "added renewed removed");
  EXPECT_EQ(forwarding->log, "added renewed removed");
}

/// A router's news (an epoch gone back in every answer, an announcement in every wait)
/// brings renewals forward, each entry at most once per floor; without news (the
/// controls) nothing renews before its lease.
TEST(Keep, ARoutersNewsRenewsEachEntryAtMostOncePerFloor) {
  struct Case {
    bool epoch_back;  // every renewal's answer: the router lost every mapping
    bool announced;   // an announcement wakes every wait, 100 ms apart
    int least, most;  // renewals of the long-leased entry in 20 s
  };
  const int most = 20000 / kHoldRenewFloorMs + 1;
  for (const Case& c :
       {Case{true, false, 5, most}, Case{false, true, 5, most}, Case{false, false, 0, 0}}) {
    auto short_lease = std::make_shared<ScriptedKind>();
    auto long_lease = std::make_shared<ScriptedKind>();
    short_lease->lost_all = long_lease->lost_all = c.epoch_back;
    std::vector<HeldEntry> held;
    held.push_back(scripted_entry(short_lease, c.epoch_back ? 4 : 3600));
    held.push_back(scripted_entry(long_lease, 3600));
    for (HeldEntry& entry : held) entry.router = kHoldRouterPortmap;
    std::vector<HoldListener> listeners(1);
    listeners[0].router = kHoldRouterPortmap;
    listeners[0].sockets = [] { return std::vector<long long>{}; };
    listeners[0].heard = [&c] { return c.announced ? 0 : -1; };
    auto now = std::make_shared<long long>(0);
    int waits = 0;
    const KeepWaiter waiter(
        [&](int milliseconds, const std::vector<long long>&) {
          *now += c.announced ? std::min(milliseconds, 100) : milliseconds;
          return *now >= 20000 || ++waits > 2000;
        },
        [now] { return *now; });
    GatewayHandle gateway;
    EXPECT_EQ(hold_run(&held, &gateway, {}, waiter, nullptr, listeners).status, Status::kSuccess);
    EXPECT_LE(waits, 2000) << "the loop ran at line rate";
    for (const auto& script : {short_lease, long_lease}) {
      size_t renewals = 0;
      for (size_t at = script->log.find("renewed"); at != std::string::npos;
           at = script->log.find("renewed", at + 1)) {
        ++renewals;
      }
      EXPECT_LE(renewals, static_cast<size_t>(c.most)) << script->log;
      if (script == long_lease) {
        EXPECT_GE(renewals, static_cast<size_t>(c.least)) << script->log;
      }
    }
  }
}

}  // namespace
