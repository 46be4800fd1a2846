// The add's and the removal's outcome titles.
#include "render/screens_change.h"

#include <gtest/gtest.h>

namespace {

TEST(ChangeScreens, OutcomeTitles) {
  EXPECT_STREQ(add_outcome_title(false),
               "| [Entry Added]   -   UPnP Router - Port Forwarding                  |\n");
  EXPECT_STREQ(add_outcome_title(true),
               "| [Entry Not Added]   -   UPnP Router - Port Forwarding              |\n");

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
