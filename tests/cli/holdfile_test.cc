// A held set's file: each kind of bad line named with its number (its control a good
// one), the shell-like words, and what makes two lines the same entry.
#include "cli/holdfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/grammar.h"

namespace {

struct BadLine {
  const char* text;     // the file
  const char* problem;  // what the parse says; "" for a file that parses
};

class HoldFileLines : public ::testing::TestWithParam<BadLine> {};

TEST_P(HoldFileLines, NamesTheLineAndWhy) {
  std::vector<HoldLine> lines;
  std::string problem;
  const bool parsed = hold_parse(GetParam().text, "set.conf", &lines, &problem);
  EXPECT_EQ(problem, GetParam().problem);
  EXPECT_EQ(parsed, problem.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HoldFileLines,
    ::testing::Values(
        BadLine{"# ssh\n\n-add TCP 22 2222 ssh\n", ""},
        BadLine{"-add TCP 22 2222\n-add TCP 23 x\n",
                "set.conf:2: not a forwarding or a pinhole: "
                "-add PROTO [-ip ADDR] IPORT EPORT [DESC] or "
                "-pinhole -add PROTO PORT [LEASE]"},
        BadLine{"-list\n", "set.conf:1: only -add and -pinhole -add are held"},
        BadLine{"-add -q TCP 22 2222\n",
                "set.conf:1: -q skips the check of the table that every held add makes"},
        BadLine{"-add TCP 22 2222 \"ssh\n", "set.conf:1: a quote (\") is not closed"},
        BadLine{"-add TCP 22 2222 'ssh\n", "set.conf:1: a quote (') is not closed"},
        BadLine{"--lease 1800 -add UDP 27015 27015 game\n", ""},
        BadLine{"--lease 1 -add UDP 27015 27015\n",
                "set.conf:1: --lease takes seconds from 2 to 604800, not \"1\""},
        BadLine{"--lease=604801 -add UDP 27015 27015\n",
                "set.conf:1: --lease takes seconds from 2 to 604800, not \"604801\""},
        BadLine{"-add UDP 27015 27015 --lease\n", ""},  // a description, not an option
        BadLine{"--lease\n", "set.conf:1: --lease needs a value"},
        BadLine{"--keep -add TCP 22 2222\n",
                "set.conf:1: unknown option --keep (a line takes --lease, --protocol, "
                "--any-port and --same-port)"},
        BadLine{"--protocol upnp -add TCP 22 2222\n", ""},
        BadLine{"--protocol pcp -add TCP 22 2222\n", ""},
        BadLine{"--protocol natpmp --lease 120 -add TCP 22 2222\n", ""},
        // The gateway grants what it grants: a short lease is asked as given.
        BadLine{"--protocol natpmp --lease 60 -add TCP 22 2222\n", ""},
        BadLine{"--protocol pcp --lease 2 -add TCP 22 2222\n", ""},
        BadLine{"--protocol natpmp --lease 86401 -add TCP 22 2222\n",
                "set.conf:1: --lease takes seconds from 2 to 86400 with --protocol natpmp"},
        BadLine{"--protocol natpmp --lease 1 -add TCP 22 2222\n",
                "set.conf:1: --lease takes seconds from 2 to 604800, not \"1\""},
        // A VPN gateway's port, the same inside, for both protocols: two lines.
        BadLine{"--protocol natpmp --any-port --same-port --lease 60 -add UDP 1 1\n"
                "--protocol natpmp --any-port --same-port --lease 60 -add TCP 1 1\n",
                ""},
        BadLine{"--protocol pcp --any-port -add TCP 22 2222\n", ""},
        BadLine{"--any-port -add TCP 22 2222\n",
                "set.conf:1: --any-port in a held set goes with --protocol pcp or natpmp"},
        BadLine{"--protocol natpmp --same-port -add UDP 1 1\n",
                "set.conf:1: --same-port goes with --any-port: the internal port follows the "
                "port granted"},
        BadLine{"--same-port --any-port -add UDP 1 1\n",
                "set.conf:1: --same-port goes with --protocol pcp or natpmp"},
        BadLine{"--protocol natpmp --any-port --same-port -add UDP 1 2\n",
                "set.conf:1: --same-port: IPORT and EPORT are one port, asked inside and out"},
        BadLine{"--protocol pcp --any-port -pinhole -add TCP 5000\n",
                "set.conf:1: --any-port and --same-port go with -add; a pinhole opens the port "
                "it names"},
        BadLine{"--protocol pcp --any-port=yes -add TCP 22 2222\n",
                "set.conf:1: --any-port takes no value"},
        BadLine{"--protocol pcp -add TCP -ip 192.168.1.9 22 2222\n", ""},
        BadLine{"--protocol natpmp -add TCP -ip 192.168.1.9 22 2222\n",
                "set.conf:1: NAT-PMP maps for this host alone: no -ip"},
        BadLine{"--protocol pcp -pinhole -add TCP 5000\n", ""},
        BadLine{"--protocol natpmp -pinhole -add TCP 5000\n",
                "set.conf:1: a pinhole is held through UPnP or PCP: NAT-PMP maps IPv4 alone"},
        BadLine{"--protocol pcp -pinhole -add TCP 5000\n-pinhole -add TCP 5000\n",
                "set.conf:2: pinhole TCP 5000 is held by line 1 already"},
        BadLine{"-add TCP 22 2222\n--protocol pcp -add TCP 23 2222\n",
                "set.conf:2: TCP 2222 is held by line 1 already"},
        BadLine{"--protocol ftp -add TCP 22 2222\n",
                "set.conf:1: --protocol takes upnp, pcp or natpmp, not \"ftp\""},
        BadLine{"-pinhole -add TCP 5000\n", ""},
        BadLine{"-pinhole -add TCP 5000 1\n", "set.conf:1: a held lease is at least 2 seconds"},
        BadLine{"--lease 60 -pinhole -add TCP 5000\n",
                "set.conf:1: --lease goes with -add; a pinhole's lease is its LEASE"},
        BadLine{"-add TCP 22 2222\n# x\n-add tcp 23 2222\n",
                "set.conf:3: TCP 2222 is held by line 1 already"},
        BadLine{"-add TCP 22 2222\n-add UDP 22 2222\n-pinhole -add TCP 2222\n", ""}));

TEST(HoldLines, TheFlagsAreTheLinesOwn) {
  std::vector<HoldLine> lines;
  std::string problem;
  ASSERT_TRUE(
      hold_parse("--protocol natpmp --any-port --same-port --lease 60 -add UDP 1 1\n"
                 "--protocol natpmp -add UDP 2 2\n",
                 "vpn.conf", &lines, &problem))
      << problem;
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].request.any_port);
  EXPECT_TRUE(lines[0].request.same_port);
  EXPECT_EQ(lines[0].request.lease_seconds, 60u);
  EXPECT_FALSE(lines[1].request.any_port);  // control
  EXPECT_FALSE(lines[1].request.same_port);
}

struct Words {
  const char* line;
  std::vector<std::string> words;
};

class HoldWords : public ::testing::TestWithParam<Words> {};

TEST_P(HoldWords, SplitAsAShellWouldWithoutOne) {
  std::vector<std::string> words;
  std::string problem;
  ASSERT_TRUE(hold_split_words(GetParam().line, &words, &problem)) << problem;
  EXPECT_EQ(words, GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HoldWords,
    ::testing::Values(Words{"  -add\tTCP 22  ", {"-add", "TCP", "22"}},
                      Words{"a 'b c' \"d e\"", {"a", "b c", "d e"}},
                      Words{"'$(rm -rf /); `x` \"y\"'", {"$(rm -rf /); `x` \"y\""}},
                      Words{"\"a \\\"b\\\" \\$c \\n\"", {"a \"b\" $c \\n"}},
                      Words{"a\\ b c\\'d", {"a b", "c'd"}}, Words{"x'y'\"z\" # a comment", {"xyz"}},
                      Words{"a#b", {"a#b"}}, Words{"'' \"\"", {"", ""}}, Words{"# all of it", {}}));

TEST(HoldLines, SameWordsSameEntryOtherWordsAnother) {
  std::vector<HoldLine> one, two;
  std::string problem;
  ASSERT_TRUE(hold_parse("-add TCP 22 2222 'my ssh'\n--lease 60 -add UDP -ip 10.0.0.5 5 6\n", "a",
                         &one, &problem));
  ASSERT_TRUE(
      hold_parse("\n-add TCP   22 2222 \"my ssh\"  # same\n--lease 61 -add UDP -ip "
                 "10.0.0.5 5 6\n",
                 "b", &two, &problem));
  ASSERT_EQ(one.size(), 2u);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(one[0].key, two[0].key);
  EXPECT_NE(one[1].key, two[1].key);
  EXPECT_EQ(two[0].number, 2);
  EXPECT_EQ(one[0].request.description, "my ssh");
  EXPECT_EQ(one[0].request.lease_seconds, 3600u);
  EXPECT_EQ(one[1].request.lease_seconds, 60u);
  EXPECT_EQ(one[1].code, kAddClient);
  EXPECT_EQ(one[1].request.ip_address, "10.0.0.5");
}

}  // namespace
