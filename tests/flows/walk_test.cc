// The walk's stop rules against a scripted router: the table's end, a failure that is no
// end, an entry met again, a table that moves under the walk, the reads used up, and a
// walk from an index.
#include "flows/walk.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/loopback_server.h"
#include "tests/support/router_replies.h"

namespace {

struct WalkResult {
  std::vector<int> ports;  // the entries read, by external port; -1 where the walk restarted
  int count;
  WalkStep last;  // how the walk ended
  std::vector<std::string> requests;
};

/// A whole walk from `first`, at most `limit` reads, over a router answering `replies`
/// one connection each.
WalkResult walk_over(std::vector<ScriptedReply> replies, int first, int limit) {
  LoopbackServer server(std::move(replies));
  const GatewayHandle gateway = gateway_at(server);
  TableWalk walk = walk_from(first, limit);
  WalkResult result;
  MappingEntry entry;
  while ((result.last = walk_next(&walk, gateway, &entry)) == WalkStep::kEntry ||
         result.last == WalkStep::kRestarted) {
    result.ports.push_back(result.last == WalkStep::kEntry ? entry.external_port : -1);
  }
  result.count = walk.count;
  result.requests = server.requests();
  return result;
}

/// The index a request asked for.
std::string index_of(const std::string& request) {
  const size_t at = request.find("<NewPortMappingIndex>") + 21;
  return request.substr(at, request.find('<', at) - at);
}

/// A refusal with a status and no SOAP fault.
std::string status_only(const char* status_line) {
  return std::string("HTTP/1.1 ") + status_line + "\r\nContent-Length: 0\r\n\r\n";
}

class WalkEnd : public ::testing::TestWithParam<int> {};

TEST_P(WalkEnd, EndsWhereTheRouterSaysTheIndexIsPastTheEnd) {
  const WalkResult walk = walk_over(
      {{entry_response(80, "TCP")}, {entry_response(81, "UDP")}, {fault_response(GetParam())}}, 0,
      100);
  EXPECT_EQ(walk.ports, (std::vector<int>{80, 81}));
  EXPECT_EQ(walk.count, 2);
  EXPECT_EQ(walk.last, WalkStep::kEnd);
  ASSERT_EQ(walk.requests.size(), 3u);
  EXPECT_EQ(index_of(walk.requests[0]), "0");
  EXPECT_EQ(index_of(walk.requests[2]), "2");
}

// SpecifiedArrayIndexInvalid (miniupnpd, Broadcom's IGD), NoSuchEntryInArray, and what
// DD-WRT (Invalid Args) and Linksys EA8300 (Argument Value Out of Range) answer there.
INSTANTIATE_TEST_SUITE_P(Faults, WalkEnd, ::testing::Values(713, 714, 402, 601));

struct Refusal {
  const char* name;
  std::string reply;
};

class WalkRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(WalkRefusal, InTheMiddleIsNoEnd) {
  // Asked three times, then what was read is not the table.
  const std::string refusal = GetParam().reply;
  const WalkResult broken =
      walk_over({{entry_response(80, "TCP")}, {refusal}, {refusal}, {refusal}}, 0, 100);
  EXPECT_EQ(broken.ports, (std::vector<int>{80}));
  EXPECT_EQ(broken.last, WalkStep::kBroken);
  EXPECT_EQ(broken.requests.size(), 4u);

  // A router that failed for a moment: the next try reads the entry, and the walk goes on.
  const WalkResult recovered = walk_over(
      {{entry_response(80, "TCP")}, {refusal}, {entry_response(81, "UDP")}, {fault_response(713)}},
      0, 100);
  EXPECT_EQ(recovered.ports, (std::vector<int>{80, 81}));
  EXPECT_EQ(recovered.last, WalkStep::kEnd);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, WalkRefusal,
    ::testing::Values(Refusal{"Busy", status_only("503 Service Unavailable")},
                      Refusal{"Unauthorized", status_only("401 Unauthorized")},
                      Refusal{"PlainInternalError", status_only("500 Internal Server Error")},
                      Refusal{"ActionFailed", fault_response(501)},
                      Refusal{"NotAuthorized", fault_response(606)},
                      // A 200 that holds no entry is no row either.
                      Refusal{"PhantomEntry", soap_response("GetGenericPortMappingEntry",
                                                            "<NewInternalPort>80</NewInternalPort>"
                                                            "<NewEnabled>1</NewEnabled>")},
                      Refusal{"NotXml", http_ok("<not an entry")}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

TEST(Walk, ALostConnectionIsNoEnd) {
  // The second read fails in transport three times over: what was read is not the table.
  const WalkResult broken = walk_over({{entry_response(80, "TCP")}, {""}, {""}, {""}}, 0, 100);
  EXPECT_EQ(broken.ports, (std::vector<int>{80}));
  EXPECT_EQ(broken.last, WalkStep::kBroken);
  EXPECT_EQ(broken.requests.size(), 4u);
}

TEST(Walk, StartsAgainWhenTheTableMovesUnderIt) {
  // Another host adds 90 while the walk reads: the router puts it first and 81 comes
  // back at index 2. The walk reads the table again, whole.
  const WalkResult moved = walk_over({{entry_response(80, "TCP")},
                                      {entry_response(81, "TCP")},
                                      {entry_response(81, "TCP")},
                                      {entry_response(90, "TCP")},
                                      {entry_response(80, "TCP")},
                                      {entry_response(81, "TCP")},
                                      {fault_response(713)}},
                                     0, 100);
  EXPECT_EQ(moved.ports, (std::vector<int>{80, 81, -1, 90, 80, 81}));
  EXPECT_EQ(moved.count, 3);
  EXPECT_EQ(moved.last, WalkStep::kEnd);
  EXPECT_EQ(index_of(moved.requests[3]), "0");

  // A table that keeps moving is not read: two passes again at most.
  std::vector<ScriptedReply> moving;
  for (int pass = 0; pass < 3; ++pass) {
    moving.push_back({entry_response(80, "TCP")});
    moving.push_back({entry_response(81, "TCP")});
    moving.push_back({entry_response(81, "TCP")});
  }
  const WalkResult unread = walk_over(moving, 0, 100);
  EXPECT_EQ(unread.ports, (std::vector<int>{80, 81, -1, 80, 81, -1, 80, 81}));
  EXPECT_EQ(unread.last, WalkStep::kBroken);
}

TEST(Walk, EndsAtAnEntryMetAgain) {
  // A router that wraps hands back its first entry again, and index 0 still holds it; the
  // protocol is compared in any letter case. The same port of another protocol is another
  // entry.
  const WalkResult walk = walk_over({{entry_response(80, "TCP")},
                                     {entry_response(80, "UDP")},
                                     {entry_response(80, "tcp")},
                                     {entry_response(80, "TCP")}},
                                    0, 100);
  // Without the rule the repeat would be listed.
  EXPECT_EQ(walk.ports, (std::vector<int>{80, 80}));
  EXPECT_EQ(walk.count, 2);
  EXPECT_EQ(walk.last, WalkStep::kEnd);
  ASSERT_EQ(walk.requests.size(), 4u);
  EXPECT_EQ(index_of(walk.requests[3]), "0");
}

struct Repeat {
  const char* name;
  std::vector<int> table;  // the external ports the router hands back, read by read
  std::vector<int> ports;  // what the walk reads, -1 where it restarted
  WalkStep last;
  size_t reads;
};

class WalkRepeat : public ::testing::TestWithParam<Repeat> {};

TEST_P(WalkRepeat, TheFirstEntryBackLaterIsCheckedAtTheFirstIndex) {
  std::vector<ScriptedReply> replies;
  for (int port : GetParam().table) {
    replies.push_back({port != 0 ? entry_response(port, "TCP") : fault_response(713)});
  }
  const WalkResult walk = walk_over(replies, 0, 100);
  EXPECT_EQ(walk.ports, GetParam().ports);
  EXPECT_EQ(walk.last, GetParam().last);
  EXPECT_EQ(walk.requests.size(), GetParam().reads);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, WalkRepeat,
    ::testing::Values(
        // Another host adds 90 and 91 while the walk is at index 1: 80 comes back at
        // index 2, and index 0 now holds 90. The table moved: it is read again, whole.
        Repeat{"ShiftOfTwo",
               {80, 81, 80, 90, 90, 91, 80, 81, 0},
               {80, 81, -1, 90, 91, 80, 81},
               WalkStep::kEnd,
               9},
        // A router that wraps its index: index 0 still holds 80, so the table is over.
        Repeat{"Wraps", {80, 81, 80, 80}, {80, 81}, WalkStep::kEnd, 4},
        // At index 1 the first entry again is a router that ignores the index: no read more.
        Repeat{"IgnoresTheIndex", {80, 80}, {80}, WalkStep::kEnd, 2}),
    [](const ::testing::TestParamInfo<Repeat>& info) { return info.param.name; });

TEST(Walk, TheTableKeyHoldsTheRemoteHost) {
  // 80/TCP for two remote hosts are two entries; the same remote host again is a repeat.
  const WalkResult walk = walk_over({{entry_response(80, "TCP", "198.51.100.1")},
                                     {entry_response(80, "TCP", "198.51.100.2")},
                                     {entry_response(80, "TCP")},
                                     {entry_response(80, "TCP", "198.51.100.1")},
                                     {entry_response(80, "TCP", "198.51.100.1")}},
                                    0, 100);
  EXPECT_EQ(walk.ports, (std::vector<int>{80, 80, 80}));
  EXPECT_EQ(walk.last, WalkStep::kEnd);
}

TEST(Walk, StopsWhenItsReadsAreUsedUp) {
  const WalkResult one = walk_over({{entry_response(8080, "TCP")}}, 6, 1);
  EXPECT_EQ(one.ports, (std::vector<int>{8080}));
  ASSERT_EQ(one.requests.size(), 1u);
  EXPECT_EQ(index_of(one.requests[0]), "6");

  const WalkResult none = walk_over({}, 0, 0);
  EXPECT_TRUE(none.ports.empty());
  EXPECT_TRUE(none.requests.empty());
}

}  // namespace
