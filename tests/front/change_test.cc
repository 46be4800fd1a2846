// The add and remove flows' rules on records alone: clashes, matches, outcomes.
#include "front/change.h"

#include <gtest/gtest.h>

#include <cstring>

#include "front/status.h"

namespace {

EntryRecord entry_of(const char* protocol, const char* client, uint16_t internal,
                     uint16_t external) {
  EntryRecord entry;
  std::strcpy(entry.protocol, protocol);
  std::strcpy(entry.ip_address, client);
  entry.internal_port = internal;
  entry.external_port = external;
  return entry;
}

RequestRecord request_of(const char* protocol, const char* client, uint16_t internal,
                         uint16_t external) {
  return entry_of(protocol, client, internal, external);  // one layout serves both
}

struct ClashCase {
  const char* name;
  EntryRecord entry;
  int clashes;
};

TEST(Change, Clashes) {
  const RequestRecord own = request_of("TCP", "", 80, 8080);  // no -ip
  const RequestRecord client = request_of("TCP", "192.168.1.20", 80, 9090);
  const ClashCase own_cases[] = {
      {"same external port, protocol in other letters", entry_of("tcp", "10.0.0.1", 22, 8080), 1},
      {"same external port, other protocol", entry_of("UDP", "10.0.0.1", 22, 8080), 0},
      {"same internal port, a client: no -ip never matches it",
       entry_of("TCP", "192.168.1.20", 80, 9999), 0},
      {"same internal port, no client: the empty texts match", entry_of("TCP", "", 80, 9999), 1},
  };
  for (const ClashCase& c : own_cases) EXPECT_EQ(add_clashes(own, c.entry), c.clashes) << c.name;
  const ClashCase client_cases[] = {
      {"same client, protocol and internal port", entry_of("Tcp", "192.168.1.20", 80, 8080), 1},
      {"other client", entry_of("TCP", "192.168.1.21", 80, 8081), 0},
      {"other protocol", entry_of("UDP", "192.168.1.20", 80, 8082), 0},
      {"other internal port", entry_of("TCP", "192.168.1.20", 81, 8083), 0},
      {"same external port", entry_of("TCP", "10.0.0.9", 1, 9090), 1},
  };
  for (const ClashCase& c : client_cases) {
    EXPECT_EQ(add_clashes(client, c.entry), c.clashes) << c.name;
  }
}

TEST(Change, RemovalMatchesPortAndProtocol) {
  const RequestRecord request = request_of("udp", "", 0, 5000);
  EXPECT_TRUE(remove_matches(request, entry_of("UDP", "10.0.0.1", 5000, 5000)));
  EXPECT_FALSE(remove_matches(request, entry_of("TCP", "10.0.0.1", 5000, 5000)));
  EXPECT_FALSE(remove_matches(request, entry_of("UDP", "10.0.0.1", 5000, 5001)));
}

TEST(Change, Outcomes) {
  EXPECT_STREQ(add_outcome_title(false),
               "| [Entry Added]   -   UPnP Router - Port Forwarding                  |\n");
  EXPECT_STREQ(add_outcome_title(true),
               "| [Entry Not Added]   -   UPnP Router - Port Forwarding              |\n");

  struct {
    bool quick, found;
    int status;
    const char* message;
  } const refusals[] = {
      {true, false, kStatusRemoveRefusedQuick, kMessageRemoveRefused},
      {false, false, kStatusRemoveRefused, kMessageRemoveRefused},
      {false, true, kStatusRemoveRefused, kMessageRemoveDenied},
  };
  for (const auto& r : refusals) {
    RemoveRefusal refusal = remove_refusal(r.quick, r.found);
    EXPECT_EQ(refusal.status, r.status);
    EXPECT_STREQ(refusal.message, r.message);
  }

  struct {
    bool found, failed;
    const char* title;
  } const titles[] = {
      {true, false, "| [Entry (004) Removed]   -   UPnP Router - Port Forwarding          |\n"},
      {true, true, "| [Entry (004) Not Removed]   -   UPnP Router - Port Forwarding      |\n"},
      {false, false, "| [Entry Removed]   -   UPnP Router - Port Forwarding                |\n"},
      {false, true, "| [Entry Not Removed]   -   UPnP Router - Port Forwarding            |\n"},
  };
  for (const auto& t : titles) EXPECT_EQ(remove_outcome_title(t.found, t.failed, 4), t.title);
}

}  // namespace
