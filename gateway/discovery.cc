// Discovery: the search, the rules that judge each reply, the descriptions read side by
// side, and the control URL in the one taken.
#include "gateway/discovery.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "base/clock.h"
#include "base/guard.h"
#include "base/limits.h"
#include "base/retry.h"
#include "base/text.h"
#include "base/trace.h"
#include "gateway/description.h"
#include "gateway/xml.h"
#include "net/http.h"
#include "net/socket.h"
#include "net/ssdp.h"

namespace {

// In the order of preference.
const char* const kServiceTypes[] = {"WANIPConnection:1", "WANPPPConnection:1"};
constexpr int kWanIp = 0;

// The IPv6 firewall of an IGD version 2 router, searched for over IPv6.
constexpr char kFirewallType[] = "WANIPv6FirewallControl:1";

// Asked for from the second send on, for routers that answer no search for a service.
const char* const kDeviceTargets[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                      "urn:schemas-upnp-org:device:InternetGatewayDevice:2",
                                      "upnp:rootdevice"};

// Device types whose ST points to the router's description.
const char* const kGatewayDeviceUrns[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                          "urn:schemas-upnp-org:device:WANDevice:1",
                                          "urn:schemas-upnp-org:device:WANConnectionDevice:1"};

/// Where a reply's sender stands toward the default gateway of the link it came over,
/// best first.
enum Standing { kAtDefault, kNoDefault, kBesideDefault, kStandings };

/// A LOCATION a reply named, read once.
struct Candidate {
  enum class State { kQueued, kReading, kDone };
  std::string location;
  std::string sender;
  ReplyRule rule;
  int rank = 0;             // LOCATIONs of its sender taken before it: every first goes first
  unsigned long order = 0;  // when it came, among the search's candidates
  int tries = 0;
  int arrived_ms = 0;
  State state = State::kQueued;
  Standing standing = kNoDefault;
  std::string default_gateway;  // of its link; empty: none known
};

/// A description being read.
struct Reading {
  size_t candidate;
  HttpExchange exchange;
  long long start;       // clock_ms()
  long long progress;    // clock_ms() when bytes last came (its start before any)
  size_t bytes = 0;      // the exchange's count when last looked
  bool yielded = false;  // its place given up: it goes on beside the others
};

/// A usable description of one standing and service, the first that came.
struct Held {
  bool found = false;
  GatewayHandle handle;
};

/// One search in progress.
struct Search {
  Socket socket;
  std::vector<NetInterface> interfaces;  // empty: the platform's default interface
  long long start = 0;                   // clock_ms()
  Deadline deadline;                     // the run's end
  std::vector<Candidate> candidates;
  std::vector<std::unique_ptr<Reading>> readings;
  std::map<std::string, int> per_sender;  // LOCATIONs taken of each sender
  unsigned long arrivals = 0;
  int started = 0;  // reads begun, tries again included
  Error last_skip = Error::kSsdpNoReply;
  std::vector<std::string> gateways;  // each interface's default gateway ("": none)
  bool gateway_known = false;
  bool v6 = false;           // the search for the IPv6 firewall, over IPv6
  bool saw_wan = false;      // a description offered a WAN connection, not the firewall
  Held held[kStandings][2];  // [standing][WAN IP (or the firewall), WAN PPP]
  bool collect = false;      // every description read and kept; the window listened out
  std::vector<FoundDevice> found;
  const SearchCompanion* companion = nullptr;  // stepped in the search's wait
};

int ms_since(long long start) {
  return static_cast<int>(clock_ms() - start);
}

int elapsed_ms(const Search& search) {
  return ms_since(search.start);
}

/// The round's searches on one interface (or the default one when `interface` is null):
/// the two services (or the IPv6 firewall) in every round, the device targets from the
/// second on.
void send_on(Search* search, const NetInterface* interface, size_t round) {
  const std::string where = interface != nullptr ? interface->name + " (" + interface->address + ")"
                                                 : "the default interface";
  if (interface != nullptr &&
      udp_set_multicast_interface(search->socket.get(), *interface) != Error::kOk) {
    trace("search not sent on %s: the interface cannot be chosen", where.c_str());
    return;
  }
  std::vector<std::string> targets;
  if (search->v6) {
    targets.push_back(gateway_service_urn(kFirewallType));
  } else {
    for (const char* type : kServiceTypes) targets.push_back(gateway_service_urn(type));
  }
  if (round > 0) {
    targets.insert(targets.end(), std::begin(kDeviceTargets), std::end(kDeviceTargets));
  }
  // The IPv6 group is link-local: the interface's index says which link.
  const unsigned zone = search->v6 && interface != nullptr ? interface->index : 0;
  for (const std::string& target : targets) {
    const Error error = ssdp_send_search(search->socket.get(), target, search->v6, zone);
    trace("search %s sent on %s%s%s", target.c_str(), where.c_str(),
          error != Error::kOk ? ": " : "", error != Error::kOk ? error_name(error) : "");
  }
}

void send_round(Search* search, size_t round) {
  if (search->interfaces.empty()) {
    send_on(search, nullptr, round);
    return;
  }
  for (const NetInterface& interface : search->interfaces) send_on(search, &interface, round);
}

/// Keeps a usable description by its standing and service (0: WAN IP or the firewall,
/// 1: WAN PPP), unless one came first; `from` is null for a description named outright.
void hold(Search* search, const Candidate* from, int service, GatewayHandle found) {
  Held& held = search->held[from != nullptr ? from->standing : kNoDefault][service];
  if (held.found) return;
  if (from != nullptr) {
    found.answered_from = from->sender.substr(0, from->sender.find('%'));
    found.default_gateway = from->default_gateway;
  }
  held.found = true;
  held.handle = std::move(found);
}

/// Whether a router is at hand that ends the search at once: WAN IP at its link's default
/// gateway, or on a link with none known.
bool taken_now(const Search& search) {
  return search.held[kAtDefault][0].found || search.held[kNoDefault][0].found;
}

/// The router to take: by standing, then WAN IP before WAN PPP; null when none.
Held* best_held(Search* search) {
  for (auto& standing : search->held) {
    for (Held& held : standing) {
      if (held.found) return &held;
    }
  }
  return nullptr;
}

bool any_held(const Search& search) {
  for (const auto& standing : search.held) {
    for (const Held& held : standing) {
      if (held.found) return true;
    }
  }
  return false;
}

/// Takes the description if it offers a WAN connection service with a control URL: WAN
/// IP first, whatever the reply said (a reply to the WAN PPP search so stands in for a
/// lost WAN IP one); otherwise why not.
Error judge_description(Search* search, const std::string& location, const std::string& document,
                        const Candidate* from, GatewayHandle* taken = nullptr) {
  Error error = Error::kGatewayNoControlUrl;
  if (search->v6) {
    GatewayHandle found;
    found.service_type = kFirewallType;
    error = gateway_parse_description(&found, location, document);
    if (error == Error::kOk) {
      found.device_description = document;
      trace("description %s offers %s", location.c_str(), kFirewallType);
      hold(search, from, 0, std::move(found));
      return Error::kOk;
    }
    // A router without the firewall service is told apart from a device that is none.
    for (const char* type : kServiceTypes) {
      GatewayHandle other;
      other.service_type = type;
      if (gateway_parse_description(&other, location, document) == Error::kOk) {
        search->saw_wan = true;
      }
    }
    return error;
  }
  for (int candidate = kWanIp; candidate < 2; ++candidate) {
    GatewayHandle found;
    found.service_type = kServiceTypes[candidate];
    const Error parsed = gateway_parse_description(&found, location, document);
    // A service whose control URL was refused says more than one that is not there.
    if (parsed != Error::kOk) {
      if (error == Error::kGatewayNoControlUrl) error = parsed;
      continue;
    }
    found.device_description = document;
    trace("description %s offers %s", location.c_str(), found.service_type.c_str());
    if (taken != nullptr) {
      *taken = std::move(found);
      return Error::kOk;
    }
    hold(search, from, candidate == kWanIp ? 0 : 1, std::move(found));
    return Error::kOk;
  }
  return error;
}

/// The LOCATION a reply named, judged by the address it names: kOk with it, given the
/// zone of `sender` when it names a link-local IPv6 host without one (such an address
/// means something only on the link the reply came from); kHttpBadUrl, or
/// kHttpRefusedHost for an address no router on the LAN is at. This host's loopback is
/// taken from a reply that came over loopback alone.
Error judge_location(const std::string& sender, std::string* location) {
  Url url;
  const Error error = url_parse(*location, &url);
  if (error != Error::kOk) return error;
  const size_t zone = sender.find('%');
  if (zone != std::string::npos && url.zone.empty() && url_host_link_local(url)) {
    url.zone = sender.substr(zone + 1);
    *location = url_text(url);
  }
  Url from;
  from.host = sender.substr(0, zone);
  const char* refusal = url_host_refusal(url);
  if (refusal == nullptr || (url_host_loopback(url) && url_host_loopback(from))) {
    return Error::kOk;
  }
  trace("reply from %s passed over: its LOCATION names %s", sender.c_str(), refusal);
  return Error::kHttpRefusedHost;
}

/// Where a new candidate goes when the list is full: over a read one, or over a queued
/// one of a higher rank (the latest of them), else nowhere (the list's size).
size_t room_for(const Search& search, int rank) {
  size_t found = search.candidates.size();
  for (size_t i = 0; i < search.candidates.size(); ++i) {
    const Candidate& candidate = search.candidates[i];
    if (candidate.state == Candidate::State::kDone) return i;
    if (candidate.state == Candidate::State::kQueued && candidate.rank > rank &&
        (found == search.candidates.size() || candidate.order > search.candidates[found].order)) {
      found = i;
    }
  }
  return found;
}

/// The link a reply came over: the interface this host sends from toward its sender; -1
/// when none of the search's fits.
int link_of(const Search& search, const std::string& sender) {
  if (search.interfaces.empty()) return 0;  // the platform's default interface alone
  std::string source;
  if (udp_source_toward(sender, kSsdpPort, &source) != Error::kOk) return -1;
  for (size_t i = 0; i < search.interfaces.size(); ++i) {
    if (net_same_address(search.interfaces[i].address, source)) return static_cast<int>(i);
  }
  return -1;
}

/// Where the reply's sender stands toward its link's default gateway.
void place_on_link(const Search& search, Candidate* candidate) {
  if (!search.gateway_known) return;
  const int link = link_of(search, candidate->sender);
  if (link < 0 || search.gateways[static_cast<size_t>(link)].empty()) return;
  candidate->default_gateway = search.gateways[static_cast<size_t>(link)];
  candidate->standing =
      net_same_address(candidate->sender, candidate->default_gateway) ? kAtDefault : kBesideDefault;
}

/// A reply that came: judged by its ST, its LOCATION queued for reading once.
void take_reply(Search* search, const SsdpReply& reply) {
  trace("reply from %s: ST %s, LOCATION %s", reply.sender.c_str(),
        ssdp_header(reply.text, "ST").c_str(), ssdp_header(reply.text, "LOCATION").c_str());
  std::string location;
  ReplyRule rule = ReplyRule::kAnyDevice;
  const Error error = discovery_read_reply(reply.text, &location, &rule);
  if (error != Error::kOk) {
    trace("reply from %s passed over: %s", reply.sender.c_str(), trace_error(error));
    search->last_skip = error;
    return;
  }
  const Error judged = judge_location(reply.sender, &location);
  if (judged != Error::kOk) {
    if (judged != Error::kHttpRefusedHost) {
      trace("reply from %s passed over: %s", reply.sender.c_str(), trace_error(judged));
    }
    search->last_skip = judged;
    return;
  }
  for (Candidate& known : search->candidates) {
    if (known.location != location) continue;
    // A better reason to read the same LOCATION moves it up the queue.
    if (rule < known.rule) known.rule = rule;
    trace("reply from %s passed over: its LOCATION is known already", reply.sender.c_str());
    return;
  }
  // Each sender's LOCATIONs are counted, and the senders too: a flood costs a fixed amount.
  const auto sender = search->per_sender.find(reply.sender);
  const int rank = sender == search->per_sender.end() ? 0 : sender->second;
  if (rank >= kDescriptionsPerSender || (rank == 0 && search->per_sender.size() >= kSendersMax)) {
    trace("reply from %s passed over: %s", reply.sender.c_str(),
          rank > 0 ? "its sender's LOCATIONs are taken already" : "too many senders answered");
    return;
  }
  Candidate candidate;
  candidate.location = location;
  candidate.sender = reply.sender;
  candidate.rule = rule;
  candidate.rank = rank;
  candidate.order = search->arrivals++;
  candidate.arrived_ms = elapsed_ms(*search);
  place_on_link(*search, &candidate);
  size_t at = search->candidates.size();
  if (at >= kCandidatesMax) {
    at = room_for(*search, rank);
    if (at == search->candidates.size()) {
      trace("reply from %s passed over: %zu LOCATIONs wait already", reply.sender.c_str(), at);
      return;
    }
    if (search->candidates[at].state == Candidate::State::kQueued) {
      trace("description %s dropped for a sender's first", search->candidates[at].location.c_str());
    }
    search->candidates[at] = std::move(candidate);
  } else {
    search->candidates.push_back(std::move(candidate));
  }
  ++search->per_sender[reply.sender];
  trace("reply from %s taken: %s", reply.sender.c_str(), reply_rule_text(rule));
}

/// Whether `a` is read before `b`: the link's default gateway's first, then a sender's
/// first LOCATION before any sender's second, then by the reply's rule, then in the order
/// they came.
bool read_before(const Candidate& a, const Candidate& b) {
  if ((a.standing == kAtDefault) != (b.standing == kAtDefault)) return a.standing == kAtDefault;
  if (a.rank != b.rank) return a.rank < b.rank;
  if (a.rule != b.rule) return a.rule < b.rule;
  return a.order < b.order;
}

size_t active_readings(const Search& search) {
  size_t active = 0;
  for (const std::unique_ptr<Reading>& reading : search.readings) active += !reading->yielded;
  return active;
}

/// Begins reading the best queued descriptions while a read's place is free; the others
/// wait their turn. The default gateway's need no free place: they are few (a sender's
/// LOCATIONs are bounded) and the one wanted.
void start_readings(Search* search) {
  for (;;) {
    Candidate* best = nullptr;
    size_t best_index = 0;
    for (size_t i = 0; i < search->candidates.size(); ++i) {
      Candidate& candidate = search->candidates[i];
      if (candidate.state == Candidate::State::kQueued &&
          (best == nullptr || read_before(candidate, *best))) {
        best = &candidate;
        best_index = i;
      }
    }
    if (best == nullptr) return;
    if (best->standing != kAtDefault &&
        (active_readings(*search) >= static_cast<size_t>(kDescriptionReadsAtOnce) ||
         search->readings.size() >= static_cast<size_t>(kDescriptionReadsOpen))) {
      return;
    }
    best->state = Candidate::State::kDone;
    const int left_ms = kDiscoverySeconds * 1000 - elapsed_ms(*search);
    if (left_ms <= 0) continue;
    if (search->started >= kDescriptionReadsMax) {
      trace("description %s not read: %d reads made by this search already", best->location.c_str(),
            search->started);
      continue;
    }
    ++search->started;
    ++best->tries;
    std::string host, path;
    int port = 80;
    Error error = url_split(best->location, &host, &path, &port);
    const long long now = clock_ms();
    std::unique_ptr<Reading> reading(new Reading{best_index, HttpExchange(), now, now});
    if (error == Error::kOk) {
      const int allowed = std::min(kDescriptionSeconds * 1000, left_ms);
      HttpRequest request = http_get_request(host, path, port);
      request.deadline = search->deadline;
      error = http_exchange_start(request, false, allowed, &reading->exchange);
    }
    if (error != Error::kOk) {
      trace("description %s: %s", best->location.c_str(), error_name(error));
      search->last_skip = error;
      continue;
    }
    best->state = Candidate::State::kReading;
    search->readings.push_back(std::move(reading));
  }
}

/// A read that ended: its description judged, or tried again after a failure in transport.
void end_reading(Search* search, const Reading& reading) {
  Candidate& candidate = search->candidates[reading.candidate];
  candidate.state = Candidate::State::kDone;
  const HttpExchange& exchange = reading.exchange;
  Error error = exchange.result;
  // Some routers miscount their Content-Length: a short body that parses is read.
  if (error == Error::kOk && !exchange.response.whole && !xml_well_formed(exchange.response.body)) {
    error = Error::kHttpCutShort;
  }
  trace("description %s: status %d, %zu bytes, %d ms%s%s", candidate.location.c_str(),
        exchange.response.status, exchange.response.body.size(), ms_since(reading.start),
        error != Error::kOk ? ": " : "", error != Error::kOk ? error_name(error) : "");
  FoundDevice device;
  if (error == Error::kOk) {
    error = judge_description(search, candidate.location, exchange.response.body, &candidate,
                              search->collect ? &device.gateway : nullptr);
  }
  const RetryRule& rule = retry_rule(Retry::kSearchRead);
  if (error != Error::kOk && !exchange.timed_out && candidate.tries < rule.tries &&
      rule.again(error)) {
    candidate.state = Candidate::State::kQueued;
    return;
  }
  if (search->collect) {
    device.sender = candidate.sender;
    device.location = candidate.location;
    device.answer_ms = candidate.arrived_ms;
    device.error = error;
    if (device.gateway.device_description.empty()) {
      device.gateway.device_description = exchange.response.body;
    }
    search->found.push_back(std::move(device));
  }
  if (error == Error::kOk) return;
  trace("description %s passed over: %s", candidate.location.c_str(), trace_error(error));
  search->last_skip = error;
}

/// Steps every read whose socket is ready or whose time is up; ends those that are done.
void step_readings(Search* search, const std::vector<SocketWait>& waits, size_t first) {
  for (size_t i = 0; i < search->readings.size(); ++i) {
    Reading& reading = *search->readings[i];
    if (waits[first + i].ready || http_exchange_left_ms(reading.exchange) == 0) {
      http_exchange_step(&reading.exchange);
    }
    if (reading.exchange.bytes_received != reading.bytes) {
      reading.bytes = reading.exchange.bytes_received;
      reading.progress = clock_ms();
    }
  }
  for (size_t i = 0; i < search->readings.size();) {
    if (!http_exchange_done(search->readings[i]->exchange)) {
      ++i;
      continue;
    }
    std::unique_ptr<Reading> done = std::move(search->readings[i]);
    search->readings.erase(search->readings.begin() + static_cast<long>(i));
    end_reading(search, *done);
  }
}

/// Reads the replies that are there, up to a bound.
void take_replies(Search* search) {
  for (int taken = 0; taken < kSsdpRepliesAtOnce; ++taken) {
    SsdpReply reply;
    if (ssdp_receive_reply(search->socket.get(), 0, &reply) != Error::kOk) return;
    take_reply(search, reply);
  }
}

bool any_queued(const Search& search) {
  for (const Candidate& candidate : search.candidates) {
    if (candidate.state == Candidate::State::kQueued) return true;
  }
  return false;
}

/// Whether a read may have to give its place up: not the default gateway's, and not given
/// up already.
bool may_yield(const Search& search, const Reading& reading) {
  return !reading.yielded && search.candidates[reading.candidate].standing != kAtDefault;
}

/// When the read gives its place up unless bytes come first (clock_ms()): its stall time
/// after its start, then after its last bytes.
long long yield_at(const Reading& reading, long long now) {
  const long long first = reading.start + kDescriptionStallMilliseconds;
  return now < first ? first : reading.progress + kDescriptionStallMilliseconds;
}

/// Whether the read stalls (nothing for its stall time) or trickles (under the least rate
/// over its life) once it is past its stall time.
bool read_too_slow(const Reading& reading, long long now) {
  const long long age = now - reading.start;
  if (age < kDescriptionStallMilliseconds) return false;
  if (now - reading.progress >= kDescriptionStallMilliseconds) return true;
  return static_cast<long long>(reading.exchange.bytes_received) * 1000 <
         static_cast<long long>(kDescriptionBytesPerSecondMin) * age;
}

/// Reads that stall or trickle give their places to the descriptions waiting their turn.
void yield_slow_readings(Search* search) {
  if (!any_queued(*search)) return;
  const long long now = clock_ms();
  for (const std::unique_ptr<Reading>& reading : search->readings) {
    if (!may_yield(*search, *reading) || !read_too_slow(*reading, now)) continue;
    reading->yielded = true;
    trace("description %s gives its place up: %zu bytes in %d ms",
          search->candidates[reading->candidate].location.c_str(), reading->exchange.bytes_received,
          ms_since(reading->start));
  }
}

/// Whether a description of the link's default gateway is still to be read.
bool default_pending(const Search& search) {
  for (const Candidate& candidate : search.candidates) {
    if (candidate.standing == kAtDefault && candidate.state != Candidate::State::kDone) return true;
  }
  return false;
}

/// Whether the router at hand is taken now: the answer window has passed, and no
/// description of a default gateway is still to be read.
bool window_over(const Search& search, int now) {
  return !search.collect && any_held(search) && now >= kSsdpPreferIpMilliseconds &&
         !default_pending(search);
}

/// The reads' sockets to wait on; `*until` (the search's milliseconds) brought forward to
/// the soonest a read's time is up, or it gives its place up while others wait.
void arm_readings(Search* search, int now, std::vector<SocketWait>* waits, int* until) {
  const bool queued = any_queued(*search);
  const long long clock = clock_ms();
  for (const std::unique_ptr<Reading>& reading : search->readings) {
    waits->push_back(http_exchange_wait(&reading->exchange));
    *until = std::min(*until, now + http_exchange_left_ms(reading->exchange));
    if (queued && may_yield(*search, *reading)) {
      const long long left = std::max(0LL, yield_at(*reading, clock) - clock);
      *until = std::min(*until, now + static_cast<int>(left));
    }
  }
}

/// When the earliest reply whose description is still to be read came (-1: none).
int pending_reply_ms(const Search& search) {
  int earliest = -1;
  for (const Candidate& candidate : search.candidates) {
    if (candidate.state == Candidate::State::kDone) continue;
    if (earliest < 0 || candidate.arrived_ms < earliest) earliest = candidate.arrived_ms;
  }
  return earliest;
}

/// Whether the companion ends the search now: never once a router is at hand.
bool companion_has_enough(const Search& search, int now) {
  const SearchCompanion* companion = search.companion;
  if (companion == nullptr || !companion->enough || any_held(search)) return false;
  if (!companion->enough(now, pending_reply_ms(search))) return false;
  trace("search ended at %d ms: no router at hand, and no more is waited for", now);
  return true;
}

/// The search itself, until a description is taken or its time is up.
void run_search(Search* search) {
  const int listen_end = kSsdpWaitSeconds * 1000;
  const int search_end = kDiscoverySeconds * 1000;
  constexpr size_t kSsdpSends = sizeof(kSsdpSendAtMilliseconds) / sizeof(int);
  size_t round = 0;
  bool drained = false;
  while (!taken_now(*search)) {
    if (deadline_passed(search->deadline)) {
      search->last_skip = Error::kSocketTimedOut;
      break;
    }
    int now = elapsed_ms(*search);
    while (round < kSsdpSends && now >= kSsdpSendAtMilliseconds[round]) send_round(search, round++);
    if (window_over(*search, now)) break;
    const bool listening = now < listen_end;
    if (!listening && !drained) {
      // Replies already waiting when the wait is over are still read.
      take_replies(search);
      drained = true;
    }
    start_readings(search);
    if (taken_now(*search) || now >= search_end) break;
    if (!listening && search->readings.empty() && !any_queued(*search)) break;
    if (companion_has_enough(*search, now)) break;

    std::vector<SocketWait> waits;
    int until = std::min(search_end, now + deadline_left_ms(search->deadline, search_end));
    if (listening) {
      waits.push_back({search->socket.get(), false, false});
      until = std::min(until, listen_end);
      if (round < kSsdpSends) until = std::min(until, kSsdpSendAtMilliseconds[round]);
    }
    if (any_held(*search) && !search->collect && now < kSsdpPreferIpMilliseconds) {
      until = std::min(until, kSsdpPreferIpMilliseconds);
    }
    const size_t first_reading = waits.size();
    arm_readings(search, now, &waits, &until);
    const SearchCompanion* companion = search->companion;
    const size_t first_companion = waits.size();
    if (companion != nullptr && companion->arm) {
      const int left = companion->arm(now, &waits);
      if (left >= 0) until = std::min(until, now + left);
    }
    const Error waited = socket_wait_any(&waits, std::max(0, until - now));
    if (waited != Error::kOk) {
      search->last_skip = waited;
      break;
    }
    if (companion != nullptr && companion->step) companion->step();
    waits.resize(first_companion);
    if (listening && waits[0].ready) take_replies(search);
    step_readings(search, waits, first_reading);
    yield_slow_readings(search);
  }
}

/// The description named outright, taken as a reply's would be.
Error discover_at(const std::string& url, bool firewall, Deadline deadline,
                  GatewayHandle* gateway) {
  Search search;
  search.v6 = firewall;
  std::string document;
  Error error = fetch_description(url, &document, deadline);
  if (error == Error::kOk) error = judge_description(&search, url, document, nullptr);
  if (error != Error::kOk && search.saw_wan) return Error::kGatewayNoFirewall;
  if (error != Error::kOk) return error;
  *gateway = std::move(best_held(&search)->handle);
  return Error::kOk;
}

/// The interfaces to search on: those that can carry the search, or the one named alone;
/// kSsdpNoInterface when there is none to search (empty: the platform's default).
Error search_interfaces(const DiscoveryOptions& options, std::vector<NetInterface>* interfaces) {
  if (net_interfaces(interfaces, options.firewall) != Error::kOk) interfaces->clear();
  // The IPv6 group is link-local: without an interface there is no link to search.
  if (options.firewall && interfaces->empty()) return Error::kSsdpNoInterface;
  if (options.interface_name.empty()) return Error::kOk;
  std::vector<NetInterface> chosen;
  for (const NetInterface& interface : *interfaces) {
    if (interface.name == options.interface_name) chosen.push_back(interface);
  }
  if (chosen.empty()) return Error::kSsdpNoInterface;
  interfaces->swap(chosen);
  return Error::kOk;
}

}  // namespace

Error discovery_interface_check(const DiscoveryOptions& options) {
  if (options.interface_name.empty()) return Error::kOk;
  return guard_allocation([&] {
    std::vector<NetInterface> interfaces;
    return search_interfaces(options, &interfaces);
  });
}

Error discovery_interfaces(const DiscoveryOptions& options, std::vector<NetInterface>* interfaces) {
  return guard_allocation([&] { return search_interfaces(options, interfaces); });
}

const char* reply_rule_text(ReplyRule rule) {
  switch (rule) {
    case ReplyRule::kService:
      return "its ST is a service searched";
    case ReplyRule::kGatewayDevice:
      return "its ST is a gateway device type";
    case ReplyRule::kAnyDevice:
      return "its ST is a root device or a uuid";
  }
  return "";
}

Error discovery_read_reply(const std::string& reply, std::string* location, ReplyRule* rule) {
  return guard_allocation([&] {
    Error error = ssdp_location(reply, location);
    if (error != Error::kOk) return error;
    const std::string st = ssdp_header(reply, "ST");
    for (const char* type : {kServiceTypes[0], kServiceTypes[1], kFirewallType}) {
      if (service_urn_at_least(st, gateway_service_urn(type))) {
        *rule = ReplyRule::kService;
        return Error::kOk;
      }
    }
    for (const char* urn : kGatewayDeviceUrns) {
      if (service_urn_at_least(st, urn)) {
        *rule = ReplyRule::kGatewayDevice;
        return Error::kOk;
      }
    }
    // Both matched in any letter case. A reply without an ST answers no search at all.
    const std::string upper = text_upper_ascii(st);
    if (upper == "UPNP:ROOTDEVICE" || (upper.compare(0, 5, "UUID:") == 0 && upper.size() > 5)) {
      *rule = ReplyRule::kAnyDevice;
      return Error::kOk;
    }
    return Error::kSsdpOtherTarget;
  });
}

Error fetch_description(const std::string& location, std::string* description, Deadline deadline) {
  return guard_allocation([&] {
    std::string host, path;
    int port = 80;
    Error error = url_split(location, &host, &path, &port);
    if (error != Error::kOk) return error;
    HttpRequest request = http_get_request(host, path, port);
    request.deadline = deadline;
    HttpResponse response;
    auto attempt = [&] {
      response = HttpResponse();
      const long long start = clock_ms();
      Error tried = http_perform(request, false, &response);
      if (tried == Error::kOk)
        tried = short_body_error(response.whole, xml_well_formed(response.body));
      trace("description %s: status %d, %zu bytes, %d ms%s%s", location.c_str(), response.status,
            response.body.size(), ms_since(start), tried != Error::kOk ? ": " : "",
            tried != Error::kOk ? error_name(tried) : "");
      return tried;
    };
    error = with_retries(Retry::kRead, attempt);
    if (error != Error::kOk) return error;
    description->swap(response.body);
    return Error::kOk;
  });
}

namespace {

/// Each interface's default gateway, as the caller reads them (the platform's default
/// interface: the host's own). Not for the IPv6 firewall: routers answer over IPv6 from a
/// link-local address the default route need not name, and its search keeps the first
/// usable reply.
void learn_gateways(const DiscoveryOptions& options, Search* search) {
  const size_t links = std::max<size_t>(1, search->interfaces.size());
  search->gateways.assign(links, std::string());
  if (!options.default_gateway || search->v6) return;
  for (size_t i = 0; i < links; ++i) {
    const std::string& name =
        search->interfaces.empty() ? options.interface_name : search->interfaces[i].name;
    std::string gateway;
    if (!options.default_gateway(name, &gateway) || gateway.empty()) continue;
    trace("search: %s's default gateway is %s", name.empty() ? "the host" : name.c_str(),
          gateway.c_str());
    search->gateways[i] = gateway;
    search->gateway_known = true;
  }
}

/// Opens the search's socket on its interfaces and runs it to its end.
Error search_through(const DiscoveryOptions& options, Search* search,
                     const SearchCompanion* companion) {
  search->companion = companion;
  Error error = udp_open(&search->socket, search->v6);
  if (error != Error::kOk) return error;
  error = search_interfaces(options, &search->interfaces);
  if (error != Error::kOk) return error;
  learn_gateways(options, search);
  search->start = clock_ms();
  search->deadline = options.deadline;
  run_search(search);
  return Error::kOk;
}

}  // namespace

Error discover_all(const DiscoveryOptions& options, std::vector<FoundDevice>* found,
                   std::vector<NetInterface>* interfaces, const SearchCompanion* companion) {
  return guard_allocation([&] {
    Search search;
    search.collect = true;
    const Error error = search_through(options, &search, companion);
    if (error != Error::kOk) return error;
    *interfaces = search.interfaces;
    for (FoundDevice& device : search.found) device.gateway.deadline = options.deadline;
    std::stable_sort(
        search.found.begin(), search.found.end(),
        [](const FoundDevice& a, const FoundDevice& b) { return a.answer_ms < b.answer_ms; });
    found->swap(search.found);
    return Error::kOk;
  });
}

Error discover_gateway(const DiscoveryOptions& options, GatewayHandle* gateway,
                       const SearchCompanion* companion) {
  return guard_allocation([&] {
    if (!options.url.empty()) {
      const Error error = discover_at(options.url, options.firewall, options.deadline, gateway);
      if (error == Error::kOk) {
        gateway->deadline = options.deadline;
        trace("control URL %s (%s)", gateway->control_url.c_str(), gateway->service_type.c_str());
      }
      return error;
    }
    Search search;
    search.v6 = options.firewall;
    const Error error = search_through(options, &search, companion);
    if (error != Error::kOk) return error;
    Held* best = best_held(&search);
    if (best == nullptr) return search.saw_wan ? Error::kGatewayNoFirewall : search.last_skip;
    *gateway = std::move(best->handle);
    gateway->deadline = options.deadline;
    if (gateway_choice(*gateway) == GatewayChoice::kBesideDefault) {
      trace("router at %s taken: the default gateway %s offered no usable answer",
            gateway->answered_from.c_str(), gateway->default_gateway.c_str());
    }
    trace("control URL %s (%s)", gateway->control_url.c_str(), gateway->service_type.c_str());
    return Error::kOk;
  });
}

GatewayChoice gateway_choice(const GatewayHandle& gateway) {
  if (gateway.answered_from.empty()) return GatewayChoice::kNamed;
  if (gateway.default_gateway.empty()) return GatewayChoice::kFirstAnswer;
  return net_same_address(gateway.answered_from, gateway.default_gateway)
             ? GatewayChoice::kDefaultGateway
             : GatewayChoice::kBesideDefault;
}

const char* gateway_choice_name(GatewayChoice choice) {
  switch (choice) {
    case GatewayChoice::kNamed:
      return "named";
    case GatewayChoice::kFirstAnswer:
      return "first_answer";
    case GatewayChoice::kDefaultGateway:
      return "default_gateway";
    case GatewayChoice::kBesideDefault:
      return "default_gateway_not_upnp";
  }
  return "";
}

Announcement gateway_announcement(const std::string& datagram, const std::string& sender,
                                  const GatewayHandle& gateway, std::string* boot_id) {
  std::string host, path;
  int port = 0;
  if (datagram.compare(0, 9, "NOTIFY * ") != 0 ||
      url_split(gateway.control_url, &host, &path, &port) != Error::kOk || host != sender) {
    return Announcement::kOther;
  }
  const std::string kind = text_upper_ascii(ssdp_header(datagram, "NTS"));
  if (kind == "SSDP:BYEBYE") return Announcement::kLeaving;
  if (kind != "SSDP:ALIVE") return Announcement::kOther;
  *boot_id = ssdp_header(datagram, "BOOTID.UPNP.ORG");
  return Announcement::kAlive;
}
