// The listing's search box: its rows for a request's filter.
#include "render/screens_listing.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ListingScreens, FreshRequestShowsNoSearchRows) {
  RequestRecord fresh;
  EXPECT_TRUE(listing_search_rows(fresh).empty());
}

TEST(ListingScreens, SearchRowsInTheirOrder) {
  RequestRecord request;
  request.entry_id = 7;
  request.protocol = "tcp";
  request.ip_address = "10.0.0.5";
  request.internal_port = 80;
  request.external_port = 8080;
  request.enabled = 0;
  std::vector<SearchRow> rows = listing_search_rows(request);
  const char* labels[] = {"ID #",          "Protocol",      "IP Address",
                          "Internal Port", "External Port", "Status"};
  const char* values[] = {"007", "tcp", "10.0.0.5", "80", "8080", "Disabled"};
  ASSERT_EQ(rows.size(), 6u);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_STREQ(rows[i].label, labels[i]);
    EXPECT_EQ(rows[i].value, values[i]);
  }
  RequestRecord status;
  status.enabled = 1;
  rows = listing_search_rows(status);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].value, "Enabled");
}

}  // namespace
