#include "flows/portmap.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/grammar.h"
#include "hold/pinhole.h"
#include "hold/portmap.h"

namespace {

struct RenewalCase {
  MapVia via;
  uint32_t lifetime;
  double draw;
  int renew_ms;  // when the loop renews
};

class RenewalTest : public testing::TestWithParam<RenewalCase> {};

TEST_P(RenewalTest, FallsWhereTheProtocolSays) {
  const RenewalCase& c = GetParam();
  EXPECT_EQ(keep_renew_ms(portmap_renewal_lease(c.via, c.lifetime, c.draw)), c.renew_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenewalTest,
    testing::Values(RenewalCase{MapVia::kPcp, 7200, 0.0, 3600000},     // 1/2 of the lifetime
                    RenewalCase{MapVia::kPcp, 7200, 0.5, 4050000},     // between
                    RenewalCase{MapVia::kPcp, 7200, 1.0, 4500000},     // 5/8
                    RenewalCase{MapVia::kNatpmp, 7200, 0.0, 3600000},  // 1/2, whatever
                    RenewalCase{MapVia::kNatpmp, 7200, 1.0, 3600000},  // the draw
                    RenewalCase{MapVia::kPcp, 120, 1.0, 75000},
                    // A VPN gateway's 60 s; the floor of 2 s where it grants less than 4 s.
                    RenewalCase{MapVia::kNatpmp, 60, 0.0, 30000},
                    RenewalCase{MapVia::kNatpmp, 4, 0.0, 2000},  // control: at the floor
                    RenewalCase{MapVia::kNatpmp, 1, 0.0, 2000},
                    RenewalCase{MapVia::kPcp, 2, 1.0, 2000}));

TEST(PortmapClient, IsTheAddressMeantOrThisHosts) {
  PortmapGateway gateway;
  gateway.source = "192.168.1.20";
  RequestRecord request;
  EXPECT_EQ(portmap_client(request, gateway), "192.168.1.20");
  request.ip_address = "010.0.0.1";  // as inet_addr reads it
  EXPECT_EQ(portmap_client(request, gateway), "8.0.0.1");
}

TEST(PortmapLifetime, IsTheLeaseOrTheDefault) {
  RunOptions options;
  EXPECT_EQ(portmap_lifetime_asked(options), static_cast<uint32_t>(kPortmapLifetimeSeconds));
  options.lease_seconds = 60;
  EXPECT_EQ(portmap_lifetime_asked(options), 60u);
}

TEST(PortmapApply, ACommandThatNeedsUpnpAsksNothing) {
  PortmapGateway gateway;  // no address: an exchange could not be made
  const PortmapResult result =
      portmap_apply(kList, MapVia::kNatpmp, RequestRecord(), gateway, RunOptions());
  EXPECT_STREQ(result.command, "none");
  EXPECT_EQ(result.outcome.status, Status::kNeedsUpnp);
  EXPECT_EQ(result.message, "This Command Needs UPnP: NAT-PMP Cannot Carry It.");
  EXPECT_TRUE(result.notes.empty());
  const Outcome outcome = portmap_outcome(result);
  EXPECT_EQ(outcome.status, Status::kFailure);
  EXPECT_EQ(outcome.exit, ExitStatus::kBadCommand);
}

TEST(PortmapForget, ReturnsWhatKeepsTheRecord) {
  const std::filesystem::path folder =
      std::filesystem::path(::testing::TempDir()) / "pw-forget-folder";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const StoredMapping record{"pcp", "192.168.1.1", 6, 2222, 22, "192.168.1.20"};
  EXPECT_EQ(portmap_forget(folder.string(), record), "");
  // A file where the folder should be: the table cannot be changed.
  const std::filesystem::path file = folder / "a-file";
  std::FILE* made = std::fopen(file.string().c_str(), "w");
  ASSERT_NE(made, nullptr);
  std::fclose(made);
  EXPECT_NE(portmap_forget(file.string(), record), "");
  std::filesystem::remove_all(folder);
}

}  // namespace
