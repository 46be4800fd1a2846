// The long options before the command keyword, what goes with which command, and what
// an external address says of reachability. (The exit status of each outcome is checked
// on whole runs, tests/e2e/test_json.py.)
#include "cli/options.h"

#include <gtest/gtest.h>

#include <vector>

#include "cli/grammar.h"
#include "gateway/reach.h"

namespace {

struct Taken {
  bool good;
  RunOptions options;
  std::string problem;
  std::vector<std::string> rest;  // the vector after the options, program name first
};

Taken take(std::vector<std::string> words) {
  words.insert(words.begin(), "portwrangler");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());
  Taken taken;
  taken.good = take_long_options(&argc, argv.data(), &taken.options, &taken.problem);
  for (int i = 0; i < argc; ++i) taken.rest.push_back(argv[i]);
  EXPECT_EQ(argv[argc], nullptr);
  return taken;
}

struct OptionCase {
  std::vector<std::string> words;
  bool good;
  std::vector<std::string> rest;
  int lease;
  std::string url;
  std::string interface_name;
};

TEST(Options, LongOptionsBeforeTheCommand) {
  const std::string p = "portwrangler";
  const OptionCase cases[] = {
      {{"-list"}, true, {p, "-list"}, -1, "", ""},
      {{"--json", "-list"}, true, {p, "-list"}, -1, "", ""},
      {{"--lease", "3600", "-add", "TCP", "80", "8080"},
       true,
       {p, "-add", "TCP", "80", "8080"},
       3600,
       "",
       ""},
      {{"--lease=1", "-add"}, true, {p, "-add"}, 1, "", ""},
      {{"--lease=604800", "-add"}, true, {p, "-add"}, 604800, "", ""},
      {{"--lease=604801", "-add"}, false, {p, "-add"}, -1, "", ""},
      {{"--lease=0", "-add"}, false, {p, "-add"}, -1, "", ""},
      {{"--lease=+5", "-add"}, false, {p, "-add"}, -1, "", ""},
      {{"--lease=", "-add"}, false, {p, "-add"}, -1, "", ""},
      {{"--lease"}, false, {p}, -1, "", ""},
      {{"--leas=5", "-add"}, false, {p, "-add"}, -1, "", ""},  // no abbreviations
      {{"--json=yes", "-list"}, false, {p, "-list"}, -1, "", ""},
      {{"--url", "http://192.168.1.1:5000/rootDesc.xml", "-list"},
       true,
       {p, "-list"},
       -1,
       "http://192.168.1.1:5000/rootDesc.xml",
       ""},
      {{"--url=ftp://x/", "-list"}, false, {p, "-list"}, -1, "", ""},
      {{"--url=http://" + std::string(505, 'a'), "-list"}, false, {p, "-list"}, -1, "", ""},
      {{"--url=http://h:99999/x", "-list"}, false, {p, "-list"}, -1, "", ""},
      {{"--url=http://h:abc/x", "-list"}, false, {p, "-list"}, -1, "", ""},
      {{"--url=http://[10.0.0.1]:80/x", "-list"}, false, {p, "-list"}, -1, "", ""},
      {{"--url=http://[2001:db8::1:80/x", "-list"}, false, {p, "-list"}, -1, "", ""},
      {{"--url=http://[2001:db8::1]:80/x", "-list"},
       true,
       {p, "-list"},
       -1,
       "http://[2001:db8::1]:80/x",
       ""},
      {{"--interface=eth0", "-list"}, true, {p, "-list"}, -1, "", "eth0"},
      {{"--interface", "", "-list"}, false, {p, "-list"}, -1, "", ""},
#ifndef _WIN32
      // IFNAMSIZ holds 15 bytes and the NUL.
      {{"--interface", std::string(15, 'e'), "-list"},
       true,
       {p, "-list"},
       -1,
       "",
       std::string(15, 'e')},
      {{"--interface", std::string(16, 'e'), "-list"}, false, {p, "-list"}, -1, "", ""},
#endif
      {{"--", "--json"}, true, {p, "--json"}, -1, "", ""},              // "--" ends the options
      {{"-list", "--json"}, true, {p, "-list", "--json"}, -1, "", ""},  // after: the grammar's
      {{"--bogus", "--json", "-list"}, false, {p, "-list"}, -1, "", ""},
  };
  for (const OptionCase& c : cases) {
    const Taken taken = take(c.words);
    const std::string name = ::testing::PrintToString(c.words);
    EXPECT_EQ(taken.good, c.good) << name;
    EXPECT_EQ(taken.good, taken.problem.empty()) << name;
    EXPECT_EQ(taken.rest, c.rest) << name;
    EXPECT_EQ(taken.options.lease_seconds, c.lease) << name;
    EXPECT_EQ(taken.options.url, c.url) << name;
    EXPECT_EQ(taken.options.interface_name, c.interface_name) << name;
  }
}

TEST(Options, ProtocolGatewayAndAnyPort) {
  struct ProtocolCase {
    std::vector<std::string> words;
    bool good;
    MapVia via;
    std::string gateway;
    bool any_port;
  };
  const ProtocolCase cases[] = {
      {{"-add"}, true, MapVia::kUpnp, "", false},  // control: nothing changes without them
      {{"--protocol", "pcp", "-add"}, true, MapVia::kPcp, "", false},
      {{"--protocol=natpmp", "-add"}, true, MapVia::kNatpmp, "", false},
      {{"--protocol=auto", "-add"}, true, MapVia::kAuto, "", false},
      {{"--protocol=upnp", "-add"}, true, MapVia::kUpnp, "", false},
      {{"--protocol=PCP", "-add"}, false, MapVia::kUpnp, "", false},
      {{"--protocol=", "-add"}, false, MapVia::kUpnp, "", false},
      {{"--gateway", "192.168.77.1", "-add"}, true, MapVia::kUpnp, "192.168.77.1", false},
      {{"--gateway=router.lan", "-add"}, false, MapVia::kUpnp, "", false},
      // An IPv6 gateway is taken here; the command tells whether it fits (a PCP pinhole).
      {{"--gateway=2001:db8::1", "-add"}, true, MapVia::kUpnp, "2001:db8::1", false},
      {{"--gateway=2001:db8::1%2", "-add"}, false, MapVia::kUpnp, "", false},
      {{"--any-port", "-add"}, true, MapVia::kUpnp, "", true},
      {{"--any-port=1", "-add"}, false, MapVia::kUpnp, "", false},
  };
  for (const ProtocolCase& c : cases) {
    const Taken taken = take(c.words);
    const std::string name = ::testing::PrintToString(c.words);
    EXPECT_EQ(taken.good, c.good) << name;
    EXPECT_EQ(taken.options.via, c.via) << name;
    EXPECT_EQ(taken.options.gateway, c.gateway) << name;
    EXPECT_EQ(taken.options.any_port, c.any_port) << name;
  }
}

TEST(Options, WhatGoesWithWhichProtocol) {
  struct FitCase {
    MapVia via;
    int lease;
    bool keep;
    const char* url;
    const char* gateway;
    bool any_port;
    int code;
    bool fits;
  };
  const FitCase cases[] = {
      {MapVia::kPcp, -1, false, "", "", false, kAdd, true},  // control
      {MapVia::kPcp, 120, false, "", "", false, kAdd, true},
      {MapVia::kNatpmp, 86400, false, "", "", false, kAdd, true},
      // The gateway grants what it grants: a short lifetime is asked as given.
      {MapVia::kPcp, 119, false, "", "", false, kAdd, true},
      {MapVia::kNatpmp, 60, false, "", "", false, kAdd, true},
      {MapVia::kPcp, 1, false, "", "", false, kAdd, true},
      {MapVia::kNatpmp, 86401, false, "", "", false, kAdd, false},
      {MapVia::kUpnp, 60, false, "", "", false, kAdd, true},  // UPnP keeps its range
      {MapVia::kPcp, -1, false, "http://192.168.1.1/d.xml", "", false, kStats, false},
      {MapVia::kAuto, -1, false, "http://192.168.1.1/d.xml", "", false, kStats, false},
      {MapVia::kUpnp, -1, false, "", "192.168.1.1", false, kStats, false},
      {MapVia::kNatpmp, -1, false, "", "192.168.1.1", false, kStats, true},
      {MapVia::kPcp, -1, true, "", "", false, kAdd, true},
      {MapVia::kUpnp, -1, false, "", "", true, kAdd, true},  // AddAnyPortMapping
      {MapVia::kAuto, -1, false, "", "", true, kAdd, true},
      {MapVia::kNatpmp, -1, false, "", "", true, kAdd, true},
      {MapVia::kPcp, -1, false, "", "", true, kRemove, false},
      // A pinhole through PCP: the gateway's IPv6 address, and a pinhole named by its
      // protocol and port (the request's ID left at -1), with PCP or auto alone.
      {MapVia::kPcp, -1, false, "", "2001:db8::1", false, kPinholeAdd, true},
      {MapVia::kPcp, -1, false, "", "192.168.1.1", false, kPinholeAdd, false},
      {MapVia::kPcp, -1, false, "", "2001:db8::1", false, kAdd, false},
      {MapVia::kPcp, -1, false, "", "", false, kPinholeRemove, true},
      {MapVia::kAuto, -1, false, "", "", false, kPinholeRemove, true},
      // --keep holds a PCP pinhole as a UPnP one (auto: the IGD firewall first).
      {MapVia::kPcp, -1, true, "", "", false, kPinholeAdd, true},
      {MapVia::kAuto, -1, true, "", "", false, kPinholeAdd, true},
      {MapVia::kPcp, -1, true, "", "", false, kPinholeRemove, false},  // control
  };
  for (const FitCase& c : cases) {
    RunOptions options;
    options.via = c.via;
    options.lease_seconds = c.lease;
    options.keep = c.keep;
    options.url = c.url;
    options.gateway = c.gateway;
    options.any_port = c.any_port;
    std::string problem;
    RequestRecord request;
    request.pinhole_lease = 3600;  // as -pinhole -add without LEASE
    EXPECT_EQ(options_fit_command(options, c.code, request, &problem), c.fits)
        << map_via_name(c.via) << " " << c.lease << " " << c.url << " " << c.gateway;
    EXPECT_EQ(problem.empty(), c.fits);
  }
}

TEST(Options, WhatGoesWithWhichCommand) {
  struct FitCase {
    int lease;
    bool keep;
    int code;
    bool quick;
    bool fits;
    unsigned long pinhole_lease = 3600;  // -pinhole -add's own
    const char* url = "";
  };
  const FitCase cases[] = {
      {3600, false, kAdd, false, true},
      {3600, false, kAddClient, true, true},
      {3600, false, kList, false, false},
      {-1, true, kAddWithDescription, false, true},
      {-1, true, kRemove, false, false},
      {-1, true, kAdd, true, false},
      {1, true, kAdd, false, false},
      {2, true, kAdd, false, true},
      {3600, true, kSyntaxError, false, true},  // the syntax screen says it all
      // A pinhole held needs a lease of 2 s as well; without --keep, 1 s is a lease.
      {-1, true, kPinholeAdd, false, true, 2},
      {-1, true, kPinholeAdd, false, false, 1},
      {-1, false, kPinholeAdd, false, true, 1},
      // The report searches for every device: one named outright is refused.
      {-1, false, kDiagnose, false, true},
      {-1, false, kDiagnose, false, false, 3600, "http://192.168.1.1:5000/rootDesc.xml"},
      {-1, false, kList, false, true, 3600, "http://192.168.1.1:5000/rootDesc.xml"},
      {3600, false, kDiagnose, false, false},
      {-1, true, kDiagnose, false, false},
  };
  for (const FitCase& c : cases) {
    RunOptions options;
    options.lease_seconds = c.lease;
    options.keep = c.keep;
    options.url = c.url;
    RequestRecord request;
    request.quick = c.quick;
    request.pinhole_lease = static_cast<uint32_t>(c.pinhole_lease);
    std::string problem;
    EXPECT_EQ(options_fit_command(options, c.code, request, &problem), c.fits)
        << c.lease << " " << c.keep << " " << c.code << " " << c.quick;
    EXPECT_EQ(problem.empty(), c.fits);
  }
}

struct SamePortCase {
  std::vector<std::string> words;  // the long options before "-add TCP IPORT EPORT"
  uint16_t internal_port;
  uint16_t external_port;
  const char* problem;  // "" where it fits
};

class SamePort : public ::testing::TestWithParam<SamePortCase> {};

TEST_P(SamePort, GoesWithAnyPortThroughNatpmpOrPcp) {
  const SamePortCase& c = GetParam();
  const Taken taken = take(c.words);
  ASSERT_TRUE(taken.good) << taken.problem;
  RequestRecord request;
  request.internal_port = c.internal_port;
  request.external_port = c.external_port;
  std::string problem;
  const bool fits = options_fit_command(taken.options, kAdd, request, &problem);
  EXPECT_EQ(fits, problem.empty());
  EXPECT_EQ(problem, c.problem);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SamePort,
    ::testing::Values(
        SamePortCase{{"--protocol=natpmp", "--any-port", "--same-port"}, 1, 1, ""},
        SamePortCase{{"--protocol=pcp", "--any-port", "--same-port", "--lease=60"}, 5, 5, ""},
        SamePortCase{{"--protocol=natpmp", "--same-port"},
                     1,
                     1,
                     "--same-port goes with --any-port: the internal port follows the port "
                     "granted"},
        SamePortCase{
            {"--any-port", "--same-port"}, 1, 1, "--same-port goes with --protocol pcp or natpmp"},
        SamePortCase{{"--protocol=auto", "--any-port", "--same-port"},
                     1,
                     1,
                     "--same-port goes with --protocol pcp or natpmp"},
        SamePortCase{{"--protocol=natpmp", "--any-port", "--same-port"},
                     1,
                     2,
                     "--same-port: IPORT and EPORT are one port, asked inside and out"},
        SamePortCase{{"--protocol=natpmp", "--any-port"}, 1, 2, ""}));  // control

TEST(Options, SamePortIsAFlagAndNoHeldSetsOwn) {
  EXPECT_TRUE(take({"--same-port", "-add"}).options.same_port);
  EXPECT_FALSE(take({"-add"}).options.same_port);  // control
  const Taken valued = take({"--same-port=1", "-add"});
  EXPECT_FALSE(valued.good);
  EXPECT_EQ(valued.problem, "--same-port takes no value");
  RunOptions options;
  options.hold_file = "vpn.conf";
  std::string problem;
  EXPECT_TRUE(options_fit_hold(options, 1, &problem)) << problem;  // control
  options.same_port = true;
  EXPECT_FALSE(options_fit_hold(options, 1, &problem));
  EXPECT_EQ(problem,
            "--hold: --protocol, --any-port and --same-port are not for a held set (a line "
            "takes its own)");
  RequestRecord request;
  options = RunOptions();
  options.same_port = true;
  EXPECT_FALSE(options_fit_command(options, kRemove, request, &problem));
  EXPECT_EQ(problem, "--same-port goes with -add alone");
}

TEST(Reach, TheRangesOfAnExternalAddress) {
  const std::pair<const char*, Reach> cases[] = {
      {"80.81.82.2", Reach::kPublic},      {"203.0.113.9", Reach::kPublic},
      {"10.0.0.1", Reach::kPrivate},       {"172.16.0.1", Reach::kPrivate},
      {"172.31.255.255", Reach::kPrivate}, {"172.32.0.1", Reach::kPublic},
      {"192.168.77.1", Reach::kPrivate},   {"192.169.0.1", Reach::kPublic},
      {"100.64.0.1", Reach::kShared},      {"100.127.255.254", Reach::kShared},
      {"100.128.0.1", Reach::kPublic},     {"100.63.255.255", Reach::kPublic},
      {"127.0.0.1", Reach::kLoopback},     {"169.254.1.1", Reach::kLinkLocal},
      {"0.0.0.0", Reach::kUnspecified},    {"", Reach::kEmpty},
      {"1.2.3", Reach::kUnknown},          {"1.2.3.4.5", Reach::kUnknown},
      {"256.1.1.1", Reach::kUnknown},      {"1.2.3.4 ", Reach::kUnknown},
      {"0x7f.0.0.1", Reach::kUnknown},     {"fe80::1", Reach::kUnknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reach_of(c.first), c.second) << c.first;
    const bool blocked = c.second != Reach::kPublic && c.second != Reach::kUnknown;
    EXPECT_EQ(reach_blocked(c.second), blocked) << c.first;
    EXPECT_EQ(std::string(reach_reason(c.second)).empty(), !blocked) << c.first;
    // One line, the same whichever protocol told the address; none where nothing is blocked.
    EXPECT_EQ(reach_note(c.second),
              blocked ? "portwrangler: entries on this router cannot be reached from the "
                        "internet: " +
                            std::string(reach_reason(c.second)) + "\n"
                      : "")
        << c.first;
  }
}

}  // namespace
