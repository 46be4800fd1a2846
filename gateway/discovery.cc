// Discovery: the search, the checks of each reply, the description a reply points to,
// and the control URL in it.
#include "gateway/discovery.h"

#include <chrono>
#include <map>
#include <vector>

#include "base/guard.h"
#include "base/limits.h"
#include "base/trace.h"
#include "base/tries.h"
#include "gateway/description.h"
#include "gateway/xml.h"
#include "net/http.h"
#include "net/socket.h"
#include "net/ssdp.h"

namespace {

using Clock = std::chrono::steady_clock;

// In the order of preference.
const char* const kServiceTypes[] = {"WANIPConnection:1", "WANPPPConnection:1"};
constexpr int kWanIp = 0;

/// A description fetched for a LOCATION, or why it could not be.
struct Described {
  Error error;
  std::string document;
};

/// One search in progress.
struct Search {
  Socket socket;
  std::vector<NetInterface> interfaces;  // empty: the platform's default interface
  Clock::time_point start;
  std::map<std::string, Described> described;  // by LOCATION: each is fetched once
  Error last_skip = Error::kSsdpNoReply;
  bool ppp_found = false;
  GatewayHandle ppp;
};

int elapsed_ms(const Search& search) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - search.start).count());
}

/// Both searches on one interface (or the default one when `interface` is null).
void send_on(Search* search, const NetInterface* interface) {
  const std::string where = interface != nullptr ? interface->name + " (" + interface->address + ")"
                                                 : "the default interface";
  if (interface != nullptr &&
      udp_set_multicast_interface(search->socket.get(), interface->address) != Error::kOk) {
    trace("search not sent on %s: the interface cannot be chosen", where.c_str());
    return;
  }
  for (const char* type : kServiceTypes) {
    const std::string target = gateway_service_urn(type);
    const Error error = ssdp_send_search(search->socket.get(), target);
    trace("search %s sent on %s%s%s", target.c_str(), where.c_str(),
          error != Error::kOk ? ": " : "", error != Error::kOk ? error_name(error) : "");
  }
}

void send_round(Search* search) {
  if (search->interfaces.empty()) {
    send_on(search, nullptr);
    return;
  }
  for (const NetInterface& interface : search->interfaces) send_on(search, &interface);
}

/// The description at `location`, fetched the first time a reply names it.
const Described& described(Search* search, const std::string& location) {
  auto found = search->described.find(location);
  if (found != search->described.end()) return found->second;
  Described fetched;
  fetched.error = fetch_description(location, &fetched.document);
  return search->described.emplace(location, std::move(fetched)).first->second;
}

/// kOk with `*gateway` set from a usable reply, the service it gives in `*service`;
/// otherwise why it is passed over.
Error check_reply(Search* search, const SsdpReply& reply, GatewayHandle* gateway, int* service) {
  std::string location;
  int answered = -1;
  Error error = discovery_read_reply(reply.text, &location, &answered);
  if (error != Error::kOk) return error;
  const Described& description = described(search, location);
  if (description.error != Error::kOk) return description.error;
  // A device that answers either search is a router: its description is read for the
  // WAN IP service first, whichever search the reply answers. A reply to the WAN PPP
  // search so stands in for a lost WAN IP one (a router offering WAN IP often answers
  // both).
  for (int candidate = kWanIp; candidate <= answered; ++candidate) {
    GatewayHandle found;
    found.service_type = kServiceTypes[candidate];
    error = gateway_parse_description(&found, location, description.document);
    if (error == Error::kOk) {
      found.device_description = description.document;
      *gateway = std::move(found);
      *service = candidate;
      return Error::kOk;
    }
  }
  return error;
}

/// What one wait for a reply came to.
enum class Heard { kNothing, kReply, kWanIp };

/// Listens for up to `milliseconds`; kWanIp with `*gateway` when a WAN IP answer is taken.
Heard listen(Search* search, int milliseconds, GatewayHandle* gateway) {
  SsdpReply reply;
  const Error received = ssdp_receive_reply(search->socket.get(), milliseconds, &reply);
  if (received != Error::kOk) return Heard::kNothing;
  trace("reply from %s: ST %s, LOCATION %s", reply.sender.c_str(),
        ssdp_header(reply.text, "ST").c_str(), ssdp_header(reply.text, "LOCATION").c_str());
  GatewayHandle found;
  int service = -1;
  const Error error = check_reply(search, reply, &found, &service);
  if (error == Error::kOk) {
    trace("reply from %s usable: %s", reply.sender.c_str(), found.service_type.c_str());
  } else {
    trace("reply from %s passed over: %s", reply.sender.c_str(), trace_error(error));
  }
  if (error != Error::kOk) {
    search->last_skip = error;
    return Heard::kReply;
  }
  if (service == kWanIp) {
    *gateway = std::move(found);
    return Heard::kWanIp;
  }
  if (!search->ppp_found) {
    search->ppp_found = true;
    search->ppp = std::move(found);
  }
  return Heard::kReply;
}

}  // namespace

Error discovery_read_reply(const std::string& reply, std::string* location, int* service) {
  return guard_allocation([&] {
    Error error = ssdp_location(reply, location);
    if (error != Error::kOk) return error;
    const std::string st = ssdp_header(reply, "ST");
    for (int i = 0; i < 2; ++i) {
      if (service_urn_at_least(st, gateway_service_urn(kServiceTypes[i]))) {
        *service = i;
        return Error::kOk;
      }
    }
    return Error::kSsdpOtherTarget;
  });
}

Error fetch_description(const std::string& location, std::string* description) {
  return guard_allocation([&] {
    std::string host, path;
    int port = 80;
    Error error = url_split(location, &host, &path, &port);
    if (error != Error::kOk) return error;
    const HttpRequest request = http_get_request(host, path, port);
    HttpResponse response;
    auto attempt = [&] {
      response = HttpResponse();
      Error tried = http_perform(request, false, &response);
      // Some routers miscount their Content-Length: a short body that parses is read.
      if (tried == Error::kOk && !response.whole && !xml_well_formed(response.body)) {
        tried = Error::kHttpCutShort;
      }
      trace("description %s: status %d, %zu bytes%s%s", location.c_str(), response.status,
            response.body.size(), tried != Error::kOk ? ": " : "",
            tried != Error::kOk ? error_name(tried) : "");
      return tried;
    };
    error = with_tries(attempt, error_in_transport);
    if (error != Error::kOk) return error;
    description->swap(response.body);
    return Error::kOk;
  });
}

namespace {

/// The description at `url`, read as a reply naming it would be.
Error describe_at(const std::string& url, GatewayHandle* gateway) {
  std::string document;
  Error error = fetch_description(url, &document);
  for (int candidate = kWanIp; error == Error::kOk && candidate <= 1; ++candidate) {
    GatewayHandle found;
    found.service_type = kServiceTypes[candidate];
    const Error parsed = gateway_parse_description(&found, url, document);
    if (parsed == Error::kOk) {
      found.device_description = document;
      *gateway = std::move(found);
      trace("control URL %s (%s)", gateway->control_url.c_str(), gateway->service_type.c_str());
      return Error::kOk;
    }
    if (candidate == 1) error = parsed;
  }
  return error;
}

/// The search; on the interface named `only` alone when it is not empty.
Error search_gateway(const std::string& only, GatewayHandle* gateway);

}  // namespace

Error discover_gateway(const DiscoveryOptions& options, GatewayHandle* gateway) {
  return guard_allocation([&] {
    if (!options.url.empty()) return describe_at(options.url, gateway);
    return search_gateway(options.interface_name, gateway);
  });
}

Error discover_gateway(GatewayHandle* gateway) {
  return guard_allocation([&] { return search_gateway("", gateway); });
}

namespace {

Error search_gateway(const std::string& only, GatewayHandle* gateway) {
  return guard_allocation([&] {
    Search search;
    Error error = udp_open(&search.socket);
    if (error != Error::kOk) return error;
    if (net_interfaces(&search.interfaces) != Error::kOk) search.interfaces.clear();
    if (!only.empty()) {
      std::vector<NetInterface> named;
      for (const NetInterface& interface : search.interfaces) {
        if (interface.name == only) named.push_back(interface);
      }
      if (named.empty()) {
        trace("no interface %s that can search", only.c_str());
        return Error::kSsdpNoReply;
      }
      search.interfaces = std::move(named);
    }
    search.start = Clock::now();
    const int deadline = kSsdpWaitSeconds * 1000;
    constexpr size_t kSsdpSends = sizeof(kSsdpSendAtMilliseconds) / sizeof(int);
    size_t round = 0;
    Heard heard = Heard::kNothing;
    while (heard != Heard::kWanIp) {
      const int now = elapsed_ms(search);
      while (round < kSsdpSends && now >= kSsdpSendAtMilliseconds[round]) {
        send_round(&search);
        ++round;
      }
      if ((search.ppp_found && now >= kSsdpPreferIpMilliseconds) || now >= deadline) break;
      int until = deadline;
      if (round < kSsdpSends && kSsdpSendAtMilliseconds[round] < until) {
        until = kSsdpSendAtMilliseconds[round];
      }
      if (search.ppp_found && kSsdpPreferIpMilliseconds < until) until = kSsdpPreferIpMilliseconds;
      heard = listen(&search, until - now, gateway);
    }
    for (int late = 0; heard != Heard::kWanIp && !search.ppp_found && late < kSsdpLateRepliesMax;
         ++late) {
      heard = listen(&search, 0, gateway);
      if (heard == Heard::kNothing) break;
    }
    if (heard != Heard::kWanIp) {
      if (!search.ppp_found) return search.last_skip;
      *gateway = std::move(search.ppp);
    }
    trace("control URL %s (%s)", gateway->control_url.c_str(), gateway->service_type.c_str());
    return Error::kOk;
  });
}

}  // namespace
