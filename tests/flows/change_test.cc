// The add and remove flows' rules on records alone: clashes, matches, outcomes.
#include "flows/change.h"

#include <gtest/gtest.h>

#include <vector>

#include "cli/status.h"
#include "hold/loop.h"

namespace {

MappingEntry entry_of(const char* protocol, const char* client, uint16_t internal,
                      uint16_t external) {
  MappingEntry entry;
  entry.protocol = protocol;
  entry.client = client;
  entry.internal_port = internal;
  entry.external_port = external;
  return entry;
}

RequestRecord request_of(const char* protocol, const char* client, uint16_t internal,
                         uint16_t external) {
  RequestRecord request;
  request.protocol = protocol;
  request.ip_address = client;
  request.internal_port = internal;
  request.external_port = external;
  return request;
}

struct ClashCase {
  const char* name;
  MappingEntry entry;
  bool clashes;
};

TEST(Change, Clashes) {
  const RequestRecord own = request_of("TCP", "", 80, 8080);  // no -ip
  const RequestRecord client = request_of("TCP", "192.168.1.20", 80, 9090);
  const ClashCase own_cases[] = {
      {"same external port, protocol in other letters", entry_of("tcp", "10.0.0.1", 22, 8080),
       true},
      {"same external port, other protocol", entry_of("UDP", "10.0.0.1", 22, 8080), false},
      {"same internal port, a client: no -ip never matches it",
       entry_of("TCP", "192.168.1.20", 80, 9999), 0},
      {"same internal port, no client: the empty texts match", entry_of("TCP", "", 80, 9999), true},
  };
  for (const ClashCase& c : own_cases) EXPECT_EQ(add_clashes(own, c.entry), c.clashes) << c.name;
  const ClashCase client_cases[] = {
      {"same client, protocol and internal port", entry_of("Tcp", "192.168.1.20", 80, 8080), true},
      {"other client", entry_of("TCP", "192.168.1.21", 80, 8081), false},
      {"other protocol", entry_of("UDP", "192.168.1.20", 80, 8082), false},
      {"other internal port", entry_of("TCP", "192.168.1.20", 81, 8083), false},
      {"same external port", entry_of("TCP", "10.0.0.9", 1, 9090), true},
  };
  for (const ClashCase& c : client_cases) {
    EXPECT_EQ(add_clashes(client, c.entry), c.clashes) << c.name;
  }
  // A client typed in a short form is compared as the address it means.
  EXPECT_TRUE(add_clashes(request_of("TCP", "192.168.276", 80, 9090),
                          entry_of("TCP", "192.168.1.20", 80, 8080)));
  // A port text that is no port matches no port, not the low 16 bits of its number.
  MappingEntry wrapped = entry_of("TCP", "10.0.0.9", 1, 0);
  wrapped.external_port_text = "65616";  // 65616 & 0xFFFF is 80
  EXPECT_FALSE(add_clashes(request_of("TCP", "", 22, 80), wrapped));
}

MappingEntry described(const char* description, uint16_t external) {
  MappingEntry entry = entry_of("TCP", "10.0.0.2", 22, external);
  entry.description = description;
  return entry;
}

struct ChosenCase {
  const char* name;
  std::vector<MappingEntry> ours;
  bool checked;                  // the check read the table whole before the add ...
  std::vector<uint16_t> before;  // ... and saw ours on these ports
  ReadBack read;
  uint16_t port;  // the entry chosen
};

TEST(Change, TheEntryTheRouterChoseIsFoundOnAnyPort) {
  MappingRequest mapping;
  mapping.client = "10.0.0.2";
  mapping.external_port = 2222;  // the port wished for
  mapping.internal_port = 22;
  mapping.protocol = "TCP";
  mapping.description = "ssh";
  mapping.any_port = true;
  const ChosenCase cases[] = {
      {"none: not made", {}, true, {}, ReadBack::kAbsent, 0},
      {"one, new", {described("ssh", 2223)}, true, {}, ReadBack::kOurs, 2223},
      {"one, unchecked", {described("", 2223)}, false, {}, ReadBack::kOurs, 2223},
      {"one there before, elsewhere: not made",
       {described("ssh", 3000)},
       true,
       {3000},
       ReadBack::kAbsent,
       0},
      {"one there before on the port asked: renewed in place",
       {described("", 2222)},
       true,
       {2222},
       ReadBack::kOurs,
       2222},
      {"a new one beside one there before",
       {described("ssh", 3000), described("ssh", 2223)},
       true,
       {3000},
       ReadBack::kOurs,
       2223},
      {"two, unchecked, one described as asked",
       {described("old", 3000), described("ssh", 2223)},
       false,
       {},
       ReadBack::kOurs,
       2223},
      {"two, unchecked, described alike",
       {described("ssh", 3000), described("ssh", 2223)},
       false,
       {},
       ReadBack::kUnknown,
       0},
      {"two, unchecked, neither described as asked",
       {described("a", 3000), described("b", 2223)},
       false,
       {},
       ReadBack::kUnknown,
       0},
      {"two new",
       {described("ssh", 2223), described("ssh", 2224)},
       true,
       {},
       ReadBack::kUnknown,
       0},
  };
  for (const ChosenCase& c : cases) {
    size_t chosen = 99;
    EXPECT_EQ(chosen_entry(c.ours, mapping, c.checked ? &c.before : nullptr, &chosen), c.read)
        << c.name;
    if (c.read == ReadBack::kOurs) {
      ASSERT_LT(chosen, c.ours.size()) << c.name;
      EXPECT_EQ(c.ours[chosen].external_port, c.port) << c.name;
    } else {
      EXPECT_EQ(chosen, 99u) << c.name;
    }
  }
  // Ours on any port: protocol and client in other letters, not another internal port,
  // client or protocol, nor a port text that names no port.
  EXPECT_TRUE(ours_on_any_port(entry_of("tcp", "10.0.0.2", 22, 9), mapping));
  EXPECT_FALSE(ours_on_any_port(entry_of("TCP", "10.0.0.2", 23, 9), mapping));
  EXPECT_FALSE(ours_on_any_port(entry_of("TCP", "10.0.0.3", 22, 9), mapping));
  EXPECT_FALSE(ours_on_any_port(entry_of("UDP", "10.0.0.2", 22, 9), mapping));
  EXPECT_FALSE(ours_on_any_port(entry_of("TCP", "10.0.0.2", 22, 0), mapping));
  EXPECT_FALSE(entry_is_ours(entry_of("TCP", "10.0.0.2", 22, 9), mapping));
  EXPECT_TRUE(entry_is_ours(entry_of("TCP", "10.0.0.2", 22, 2222), mapping));
  // A table reporting internal port 0 for our client's entry on the port: ours still;
  // another client's, or another protocol's, is not.
  EXPECT_TRUE(entry_is_ours(entry_of("TCP", "10.0.0.2", 0, 2222), mapping));
  EXPECT_FALSE(entry_is_ours(entry_of("TCP", "10.0.0.3", 0, 2222), mapping));
  EXPECT_FALSE(entry_is_ours(entry_of("UDP", "10.0.0.2", 0, 2222), mapping));
}

TEST(Change, RemovalMatchesPortAndProtocol) {
  const RequestRecord request = request_of("udp", "", 0, 5000);
  EXPECT_TRUE(remove_matches(request, entry_of("UDP", "10.0.0.1", 5000, 5000)));
  EXPECT_FALSE(remove_matches(request, entry_of("TCP", "10.0.0.1", 5000, 5000)));
  EXPECT_FALSE(remove_matches(request, entry_of("UDP", "10.0.0.1", 5000, 5001)));
}

TEST(Change, Outcomes) {
  struct {
    bool quick, found;
    Status status;
    const char* message;
  } const refusals[] = {
      {true, false, Status::kRemoveRefusedQuick, kMessageRemoveRefused},
      {false, false, Status::kRemoveRefused, kMessageRemoveRefused},
      {false, true, Status::kRemoveRefused, kMessageRemoveDenied},
  };
  for (const auto& r : refusals) {
    const Outcome refusal = remove_refusal(r.quick, r.found);
    EXPECT_EQ(refusal.status, r.status);
    EXPECT_STREQ(refusal.message, r.message);
  }
}

TEST(Change, TheRenewalWaitOfAnyLeaseIn64Bits) {
  // Half the lease, at least a second and at most a day; a lease near 2^32 s would wrap
  // a 32-bit long (Windows) into a short or negative wait.
  EXPECT_EQ(keep_renew_ms(0), 1000);
  EXPECT_EQ(keep_renew_ms(1), 1000);
  EXPECT_EQ(keep_renew_ms(3600), 1800000);
  EXPECT_EQ(keep_renew_ms(172800), 86400000);
  EXPECT_EQ(keep_renew_ms(4294968), 86400000);
  EXPECT_EQ(keep_renew_ms(4294967295), 86400000);
}

struct LeaseCase {
  const char* name;
  int64_t asked, left;
  long long elapsed_ms;
  int64_t given;
};

class LeaseRead : public ::testing::TestWithParam<LeaseCase> {};

TEST_P(LeaseRead, IsTheLeaseAskedWhenTheRouterHasOnlyCountedItDown) {
  // miniupnpd reads back what is left of a lease, in whole seconds: an add of 4 s read back
  // across a second's turn says 3.
  const LeaseCase& c = GetParam();
  EXPECT_EQ(lease_given(c.asked, c.left, c.elapsed_ms), c.given);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LeaseRead,
    ::testing::Values(LeaseCase{"WholeAtOnce", 4, 4, 20, 4},
                      LeaseCase{"ASecondsTurnWithinASecond", 4, 3, 300, 4},
                      LeaseCase{"SecondsThatPassedOnASlowLink", 3600, 3597, 2500, 3600},
                      // Controls: a shortfall beyond the seconds that passed is the
                      // router's own lease; no lease and a longer one stand as read.
                      LeaseCase{"ShorterThanThoseThatPassed", 4, 2, 300, 2},
                      LeaseCase{"TheRoutersOwnShorterLease", 86400, 3600, 80, 3600},
                      LeaseCase{"Permanent", 3600, 0, 80, 0}, LeaseCase{"Longer", 60, 120, 80, 120},
                      LeaseCase{"NoneAsked", 0, 600, 80, 600}),
    [](const ::testing::TestParamInfo<LeaseCase>& info) { return info.param.name; });

}  // namespace
