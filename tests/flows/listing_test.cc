// The listing's rules on records alone: the filter, the statistics.
#include "flows/listing.h"

#include <gtest/gtest.h>

namespace {

MappingEntry entry_of(const char* protocol, const char* client, uint16_t internal,
                      uint16_t external, int enabled) {
  MappingEntry entry;
  entry.protocol = protocol;
  entry.client = client;
  entry.internal_port = internal;
  entry.external_port = external;
  entry.enabled = enabled;
  return entry;
}

TEST(Listing, FreshRequestSetsNoFilter) {
  RequestRecord fresh;
  EXPECT_FALSE(listing_filter_set(fresh));
  EXPECT_TRUE(listing_passes_filter(fresh, entry_of("GRE", "", 1, 1, 0)));
}

struct FilterCase {
  const char* name;
  void (*set)(RequestRecord* request);
  bool passes;
  bool sets = true;  // whether it counts as a filter at all
};

TEST(Listing, Filter) {
  const MappingEntry web = entry_of("TCP", "192.168.1.20", 80, 8080, 1);
  const FilterCase cases[] = {
      {"protocol in other letters", [](RequestRecord* r) { r->protocol = "tcp"; }, 1},
      {"other protocol", [](RequestRecord* r) { r->protocol = "UDP"; }, 0},
      {"one-character protocol sets nothing", [](RequestRecord* r) { r->protocol = "U"; }, 1, 0},
      {"client", [](RequestRecord* r) { r->ip_address = "192.168.1.20"; }, 1},
      {"other client", [](RequestRecord* r) { r->ip_address = "192.168.1.2"; }, 0},
      {"a one-character address filters", [](RequestRecord* r) { r->ip_address = "1"; }, 0},
      {"client in hexadecimal", [](RequestRecord* r) { r->ip_address = "0xc0a80114"; }, 1},
      {"internal port", [](RequestRecord* r) { r->internal_port = 80; }, 1},
      {"other internal port", [](RequestRecord* r) { r->internal_port = 81; }, 0},
      {"external port", [](RequestRecord* r) { r->external_port = 8080; }, 1},
      {"other external port", [](RequestRecord* r) { r->external_port = 80; }, 0},
      {"enabled", [](RequestRecord* r) { r->enabled = 1; }, 1},
      {"disabled", [](RequestRecord* r) { r->enabled = 0; }, 0},
      {"an ID alone filters nothing here", [](RequestRecord* r) { r->entry_id = 4; }, 1},
      {"all five",
       [](RequestRecord* r) {
         r->protocol = "Tcp";
         r->ip_address = "192.168.1.20";
         r->internal_port = 80, r->external_port = 8080, r->enabled = 1;
       },
       1},
      {"all five, the last wrong",
       [](RequestRecord* r) {
         r->protocol = "Tcp";
         r->ip_address = "192.168.1.20";
         r->internal_port = 80, r->external_port = 8080, r->enabled = 0;
       },
       0},
  };
  for (const FilterCase& c : cases) {
    RequestRecord request;
    c.set(&request);
    EXPECT_EQ(listing_filter_set(request), c.sets) << c.name;
    EXPECT_EQ(listing_passes_filter(request, web), c.passes) << c.name;
  }
  // An entry without a client is listed, and found, as 0.0.0.0.
  RequestRecord zero;
  zero.ip_address = "0.0.0.0";
  EXPECT_TRUE(listing_passes_filter(zero, entry_of("UDP", "", 22, 2222, 1)));
  EXPECT_FALSE(listing_passes_filter(zero, web));
}

TEST(Listing, StatisticsCountAnythingButTcpAsUdp) {
  ListingStatistics stats;
  for (const MappingEntry& entry :
       {entry_of("TCP", "", 1, 1, 1), entry_of("tcp", "", 2, 2, 1), entry_of("TCP", "", 3, 3, 0),
        entry_of("UDP", "", 4, 4, 1), entry_of("GRE", "", 5, 5, 0)}) {
    listing_count(entry, &stats);
  }
  EXPECT_EQ(stats.tcp, 3);
  EXPECT_EQ(stats.tcp_enabled, 2);
  EXPECT_EQ(stats.udp, 2);
  EXPECT_EQ(stats.udp_enabled, 1);
  EXPECT_EQ(stats.enabled, 3);
}

}  // namespace
