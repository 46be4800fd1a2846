#include "base/retry.h"

#include <algorithm>

#include "base/limits.h"
#include "base/random.h"

namespace {

bool never(Error) {
  return false;
}

bool connect_failed(Error error) {
  return error == Error::kSocketConnectFailed;
}

/// A table read's answer that is neither an entry nor the table's end: a refusal that
/// does not say the index is past the end (a 503, a 500 without a fault, a fault of a
/// router that failed for a moment), a 200 without an entry, an answer that is not XML.
bool not_entry_nor_end(Error error) {
  return error_in_transport(error) || error == Error::kHttpNotOk ||
         error == Error::kGatewayNoEntry || error == Error::kGatewayUnparsable;
}

constexpr RetryRule kRules[] = {
    {Retry::kRead, kTransportTries, error_in_transport,
     "a connection lost or cut short says nothing about the router; an answer of any "
     "status is its answer and is not asked again"},
    {Retry::kSearchRead, kTransportTries, error_in_transport,
     "as a read, but one cut off by its own time is not made again (the search checks "
     "that): a device that trickles or stays silent gets one read's time"},
    {Retry::kTableRead, kTransportTries, not_entry_nor_end,
     "only the router's word that the index is past the end ends its table: any other "
     "failure is asked again, or the table would be shown cut short as whole"},
    {Retry::kChange, kTransportTries, connect_failed,
     "without a connection the router cannot have seen the change; once one opened, "
     "making it again might make it twice"},
    {Retry::kLocalConnect, kTransportTries, connect_failed,
     "the connect alone is the exchange: nothing is sent"},
    {Retry::kOnce, 1, never, "the caller's loop follows another row"},
};

constexpr bool rows_in_order() {
  for (int i = 0; i < static_cast<int>(sizeof(kRules) / sizeof(kRules[0])); ++i) {
    if (static_cast<int>(kRules[i].kind) != i) return false;
  }
  return true;
}
static_assert(rows_in_order(), "a row stands at the index of its kind");

}  // namespace

const RetryRule& retry_rule(Retry kind) {
  return kRules[static_cast<int>(kind)];
}

bool error_in_transport(Error error) {
  switch (error) {
    case Error::kSocketConnectFailed:
    case Error::kSocketSendFailed:
    case Error::kSocketReceiveFailed:
    case Error::kHttpNoHead:
    case Error::kHttpCutShort:
    case Error::kSocketTimedOut:
    case Error::kSocketStopped:
      return true;
    default:
      return false;
  }
}

bool request_may_have_arrived(Error error) {
  return error_in_transport(error) && error != Error::kSocketConnectFailed;
}

Error short_body_error(bool whole, bool parses) {
  return whole || parses ? Error::kOk : Error::kHttpCutShort;
}

namespace {

constexpr BackoffRule kBackoffs[] = {
    {Backoff::kNatpmp, 250, 64000,
     "RFC 6886: 250 ms doubling; a one-shot client stops after the ninth, a holder goes on "
     "at 64 s"},
    {Backoff::kPcp, 3000, 1024000,
     "RFC 6887: IRT 3 s doubling to MRT 1024 s, each wait moved by RAND so that hosts "
     "started together do not send together"},
    {Backoff::kKeep, 1000, 60000,
     "a router that went away is looked for again soon, and a lasting outage costs a try a "
     "minute"},
};

constexpr bool backoffs_in_order() {
  for (int i = 0; i < static_cast<int>(sizeof(kBackoffs) / sizeof(kBackoffs[0])); ++i) {
    if (static_cast<int>(kBackoffs[i].kind) != i) return false;
  }
  return true;
}
static_assert(backoffs_in_order(), "a row stands at the index of its kind");

/// A one-shot NAT-PMP exchange's sends: 250 + 500 + 1000 + 2000 + 4000 ms of waits end
/// within 8 s.
constexpr int kNatpmpOneShotSends = 5;
/// A one-shot PCP exchange waits this long after its second send: RFC 6887's second wait
/// would be 6 s, past the one-shot's 10 s.
constexpr int kPcpOneShotLastWaitMs = 5000;

int doubled(Backoff kind, int tries) {
  const BackoffRule& rule = backoff_rule(kind);
  int wait = rule.first_ms;
  for (int i = 1; i < tries && wait < rule.last_ms; ++i) wait *= 2;
  return std::min(wait, rule.last_ms);
}

/// A wait of `ms` moved by up to a tenth either way.
int jittered(int ms) {
  return ms + random_between(-ms / 10, ms / 10);
}

}  // namespace

const BackoffRule& backoff_rule(Backoff kind) {
  return kBackoffs[static_cast<int>(kind)];
}

PortmapSchedule natpmp_one_shot_schedule() {
  PortmapSchedule schedule;
  int at = 0;
  for (int tries = 1; tries <= kNatpmpOneShotSends; ++tries) {
    schedule.send_at.push_back(at);
    at += natpmp_retransmit_ms(tries);
  }
  schedule.give_up_at = at;
  return schedule;
}

PortmapSchedule pcp_one_shot_schedule() {
  const int second = jittered(backoff_rule(Backoff::kPcp).first_ms);
  return {{0, second}, second + jittered(kPcpOneShotLastWaitMs)};
}

PortmapSchedule portmap_probe_schedule() {
  return {{0, 300, 1000}, 2500};
}

PortmapSchedule portmap_schedule_within(PortmapSchedule schedule, int ms_left) {
  const int end = std::max(0, ms_left);
  // A send at the very end would find no time for its answer; the first goes all the same
  // (a delete at a stop whose time is spent is still sent, once, unanswered).
  while (schedule.send_at.size() > 1 && schedule.send_at.back() >= end) {
    schedule.send_at.pop_back();
  }
  schedule.give_up_at = std::min(schedule.give_up_at, end);
  return schedule;
}

int natpmp_retransmit_ms(int tries) {
  return doubled(Backoff::kNatpmp, tries);
}

int pcp_retransmit_ms(int previous_ms, double rand) {
  const BackoffRule& rule = backoff_rule(Backoff::kPcp);
  const double base = previous_ms <= 0
                          ? rule.first_ms
                          : std::min(2.0 * previous_ms, static_cast<double>(rule.last_ms));
  return static_cast<int>((1 + rand) * base);
}

double pcp_retransmit_rand() {
  return -0.1 + 0.2 * random_unit();
}

int keep_backoff_ms(int failures) {
  return doubled(Backoff::kKeep, failures);
}
