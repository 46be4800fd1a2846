// When auto stops the UPnP search for the NAT-PMP/PCP server its probe found. (The race
// itself runs against the real daemon: tests/lab/test_portmap.py.)
#include "flows/probe.h"

#include <gtest/gtest.h>

#include "base/limits.h"

namespace {

struct EnoughCase {
  const char* rule;
  ProbeFound found;
  int elapsed_ms;
  int pending_reply_ms;  // -1: no description still to be read
  bool enough;
};

class ProbeEnough : public testing::TestWithParam<EnoughCase> {};

TEST_P(ProbeEnough, FollowsTheRule) {
  const EnoughCase& c = GetParam();
  EXPECT_EQ(probe_has_enough(c.found, c.elapsed_ms, c.pending_reply_ms), c.enough) << c.rule;
}

constexpr int kMark = kAutoUpnpWaitMilliseconds;
constexpr int kListenEnd = kSsdpWaitSeconds * 1000;

INSTANTIATE_TEST_SUITE_P(
    Rules, ProbeEnough,
    testing::Values(EnoughCase{"no server found: the search runs its course", ProbeFound::kNothing,
                               kListenEnd + 1000, -1, false},
                    EnoughCase{"a server, before the mark", ProbeFound::kPcp, kMark - 1, -1, false},
                    EnoughCase{"a server, at the mark", ProbeFound::kPcp, kMark, -1, true},
                    EnoughCase{"a NAT-PMP server, past the mark", ProbeFound::kNatpmp, kMark + 500,
                               -1, true},
                    EnoughCase{"a reply from within the mark is still read", ProbeFound::kPcp,
                               kMark + 500, kMark - 500, false},
                    EnoughCase{"a reply past the mark is not waited for", ProbeFound::kPcp,
                               kMark + 500, kMark + 100, true},
                    EnoughCase{"the read is waited for until the search's wait ends",
                               ProbeFound::kPcp, kListenEnd - 1, kMark - 500, false},
                    EnoughCase{"and no longer", ProbeFound::kPcp, kListenEnd, kMark - 500, true}));

}  // namespace
