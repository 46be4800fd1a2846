// The walk's stop rules against a scripted router: the table's end, a failure that is no
// end, an entry met again, the reads used up, and a walk from an index.
#include "front/walk.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/loopback_server.h"
#include "tests/support/router_replies.h"

namespace {

struct WalkResult {
  std::vector<int> ports;  // the entries read, by external port
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
  while ((result.last = walk_next(&walk, gateway, &entry)) == WalkStep::kEntry) {
    result.ports.push_back(entry.external_port);
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

TEST(Walk, EndsAtTheFirstRefusal) {
  const WalkResult walk = walk_over(
      {{entry_response(80, "TCP")}, {entry_response(81, "UDP")}, {fault_response(713)}}, 0, 100);
  EXPECT_EQ(walk.ports, (std::vector<int>{80, 81}));
  EXPECT_EQ(walk.count, 2);
  EXPECT_EQ(walk.last, WalkStep::kEnd);
  ASSERT_EQ(walk.requests.size(), 3u);
  EXPECT_EQ(index_of(walk.requests[0]), "0");
  EXPECT_EQ(index_of(walk.requests[2]), "2");
}

TEST(Walk, ALostConnectionIsNoEnd) {
  // The third read fails in transport three times over: what was read is not the table.
  const WalkResult broken = walk_over(
      {{entry_response(80, "TCP")}, {entry_response(81, "UDP")}, {""}, {""}, {""}}, 0, 100);
  EXPECT_EQ(broken.ports, (std::vector<int>{80, 81}));
  EXPECT_EQ(broken.last, WalkStep::kBroken);
  EXPECT_EQ(broken.requests.size(), 5u);

  // One lost connection is made good by the next try, and the walk goes on.
  const WalkResult recovered = walk_over(
      {{entry_response(80, "TCP")}, {""}, {entry_response(81, "UDP")}, {fault_response(713)}}, 0,
      100);
  EXPECT_EQ(recovered.ports, (std::vector<int>{80, 81}));
  EXPECT_EQ(recovered.last, WalkStep::kEnd);

  // An answer that is not an entry at all leaves the table unread too.
  const WalkResult garbled = walk_over({{http_ok("<not an entry")}}, 0, 100);
  EXPECT_TRUE(garbled.ports.empty());
  EXPECT_EQ(garbled.last, WalkStep::kBroken);
}

TEST(Walk, EndsAtAnEntryMetAgain) {
  // A router that ignores the index hands back its first entry again; the protocol is
  // compared in any letter case. The same port of another protocol is another entry.
  const WalkResult walk = walk_over(
      {{entry_response(80, "TCP")}, {entry_response(80, "UDP")}, {entry_response(80, "tcp")}}, 0,
      100);
  // Without the rule the repeat would be listed, and a fourth read made.
  EXPECT_EQ(walk.ports, (std::vector<int>{80, 80}));
  EXPECT_EQ(walk.count, 2);
  EXPECT_EQ(walk.last, WalkStep::kEnd);
}

TEST(Walk, TheTableKeyHoldsTheRemoteHost) {
  // 80/TCP for two remote hosts are two entries; the same remote host again is a repeat.
  const WalkResult walk = walk_over({{entry_response(80, "TCP", "198.51.100.1")},
                                     {entry_response(80, "TCP", "198.51.100.2")},
                                     {entry_response(80, "TCP")},
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
