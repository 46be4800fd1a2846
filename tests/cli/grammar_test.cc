#include "cli/grammar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/limits.h"

namespace {

/// Runs the quick-option step and the grammar as the driver does.
struct Parsed {
  int code;
  RequestRecord request;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "portwrangler");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  Parsed out{0, RequestRecord()};
  int count = static_cast<int>(args.size()) - 1;
  if (take_quick_option(static_cast<int>(args.size()), argv.data())) {
    out.request.quick = true;
    --count;
  }
  out.code = parse_command(count, argv.data(), &out.request);
  return out;
}

struct CodeCase {
  std::vector<std::string> args;
  int code;
};

TEST(Grammar, EveryFormGivesItsCode) {
  const CodeCase cases[] = {
      {{}, 0},
      {{"-add", "TCP", "80", "8080", "web"}, 3},
      {{"-add", "TCP", "80", "8080"}, 4},
      {{"-add", "udp", "-ip", "10.0.0.5", "80", "8080", "web"}, 5},
      {{"-add", "udp", "-IP", "10.0.0.5", "80", "8080"}, 6},
      {{"-remove", "TCP", "80"}, 7},
      {{"-list"}, 9},
      {{"-list", "-stats"}, 16},
      {{"-stats"}, 84},
      {{"-list", "-id", "5"}, 440},
      {{"-help"}, 963},
      {{"/?"}, 963},
      {{"-ADD", "Udp", "1", "65535"}, 4},
      {{"-List", "-STATS"}, 16},
      {{"-HeLp"}, 963},
      {{"-diagnose"}, 35},
      {{"-Diagnose", "tcp", "2222"}, 35},
      {{"-diagnose", "UDP", "065535"}, 35},
      {{"-diagnose", "TCP"}, 0},
      {{"-diagnose", "TCP", "0"}, 0},
      {{"-diagnose", "ICMP", "22"}, 0},
      {{"-diagnose", "TCP", "22", "x"}, 0},
      {{"-diagnose", "-q", "TCP", "22"}, 0},
      {{"-pinhole", "-remove", "7"}, 32},            // a UPnP pinhole's ID
      {{"-pinhole", "-remove", "udp", "5000"}, 32},  // a PCP pinhole's protocol and port
      {{"-pinhole", "-remove", "TCP", "0"}, 0},
      {{"-pinhole", "-remove", "ICMP", "5000"}, 0},
      {{"-pinhole", "-check", "TCP", "5000"}, 0},
      // Exact counts.
      {{"-stats", "x"}, 0},
      {{"-help", "x"}, 0},
      {{"/?", "x"}, 0},
      {{"-remove", "TCP", "80", "x"}, 0},
      {{"-remove", "TCP"}, 0},
      {{"-add", "TCP", "80"}, 0},
      {{"-add", "TCP", "-ip", "10.0.0.5", "80"}, 0},
      {{"-list", "-stats", "x"}, 0},
      {{"-list", "-p"}, 0},
      {{"-list", "-p", "TCP", "-ip"}, 0},
      {{"-frobnicate"}, 0},
      {{"add", "TCP", "80", "8080"}, 0},
      {{"/?x"}, 0},
      // Descriptions: an empty one ends the examination; a real one must be last.
      {{"-add", "TCP", "80", "8080", "", "anything"}, 4},
      {{"-add", "TCP", "80", "8080", "web", "more"}, 0},
      {{"-add", "TCP", "-ip", "10.0.0.5", "80", "8080", "", "x", "y"}, 6},
      {{"-add", "TCP", "-ip", "10.0.0.5", "80", "8080", "web", "x"}, 0},
      {{"-add", "TCP", "80", "8080", "  "}, 3},
      {{"-add", "TCP", "-ip", "10.0.0.5", "80", "8080", "  "}, 5},
      // Protocols and ports.
      {{"-add", "ICMP", "80", "8080"}, 0},
      {{"-add", "TCP ", "80", "8080"}, 0},
      {{"-add", "TCP", "0", "8080"}, 0},
      {{"-add", "TCP", "80", "65536"}, 0},
      {{"-add", "TCP", "+80", "8080"}, 0},
      {{"-add", "TCP", "-80", "8080"}, 0},
      {{"-add", "TCP", "8 0", "8080"}, 0},
      {{"-add", "TCP", "80a", "8080"}, 0},
      {{"-add", "TCP", "", "8080"}, 0},
      {{"-add", "TCP", "99999999999999999999", "8080"}, 0},
      {{"-remove", "TCP", "0"}, 0},
      {{"-remove", "udp", "65535"}, 7},
      // Entry IDs.
      {{"-list", "-id", "0"}, 0},
      {{"-list", "-id", "1000"}, 0},
      {{"-list", "-id", "999"}, 440},
      {{"-list", "-id", ""}, 0},
      {{"-list", "-id", "5", "-p", "TCP"}, 0},
      {{"-list", "-p", "TCP", "-id", "5"}, 0},
      // Quick option: only second, only with at least four arguments.
      {{"-add", "-q", "TCP", "80", "8080"}, 4},
      {{"-remove", "-Q", "TCP", "80"}, 7},
      {{"-list", "-q", "-stats"}, 0},
      {{"-add", "TCP", "-q", "80", "8080"}, 0},
      {{"-list", "-q", "-id", "5"}, 440},
  };
  for (const CodeCase& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += "[" + a + "]";
    EXPECT_EQ(parse(c.args).code, c.code) << shown;
  }
}

TEST(Grammar, SearchCriteriaSumInTheirOrder) {
  // Every non-empty combination, built in table order, gives the sum of its values.
  const char* options[] = {"-p", "-ip", "-iport", "-eport", "-s"};
  const char* values[] = {"tcp", "10.0.0.5", "80", "8080", "ENABLED"};
  const int worth[] = {528, 624, 728, 840, 960};
  std::vector<int> seen;
  for (int mask = 1; mask < 32; ++mask) {
    std::vector<std::string> args{"-list"};
    int sum = 0;
    for (int i = 0; i < 5; ++i) {
      if (mask & (1 << i)) {
        args.push_back(options[i]);
        args.push_back(values[i]);
        sum += worth[i];
      }
    }
    Parsed p = parse(args);
    EXPECT_EQ(p.code, sum) << "mask " << mask;
    for (int s : seen) EXPECT_NE(s, sum);
    seen.push_back(sum);
    EXPECT_EQ(p.request.protocol, (mask & 1) ? "tcp" : "");
    EXPECT_EQ(p.request.ip_address, (mask & 2) ? "10.0.0.5" : "");
    EXPECT_EQ(p.request.internal_port, (mask & 4) ? 80 : 0);
    EXPECT_EQ(p.request.external_port, (mask & 8) ? 8080 : 0);
    EXPECT_EQ(p.request.enabled, (mask & 16) ? 1 : -1);
  }
  EXPECT_EQ(parse({"-list", "-p", "UDP", "-iport", "80", "-eport", "8080", "-s", "Disabled"}).code,
            3056);
  EXPECT_EQ(parse({"-list", "-ip", "1.2.3.4", "-s", "disabled"}).code, 1584);
}

TEST(Grammar, SearchCriteriaRefuseOrderRepeatsAndBadValues) {
  const CodeCase cases[] = {
      {{"-list", "-eport", "80", "-p", "TCP"}, 0},
      {{"-list", "-p", "TCP", "-eport", "80"}, 1368},
      {{"-list", "-p", "TCP", "-p", "UDP"}, 0},
      {{"-list", "-s", "on"}, 0},
      {{"-list", "-s", "-p"}, 0},
      {{"-list", "-p", "-ip"}, 0},
      {{"-list", "-ip", "255.255.255.255"}, 0},
      {{"-list", "-ip", "0.0.0.0"}, 624},
      {{"-list", "-ip", "not-an-address"}, 0},
      {{"-list", "-iport", "0"}, 0},
      {{"-list", "-eport", "65536"}, 0},
      {{"-list", "-x", "1"}, 0},
      {{"-list", "-P", "TCP", "-IPORT", "0080"}, 1256},
      {{"-list", "-p", "TCP", "-ip", "10.0.0.1", "-iport", "1", "-eport", "2", "-s", "Enabled",
        "x"},
       0},
  };
  for (const CodeCase& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += "[" + a + "]";
    EXPECT_EQ(parse(c.args).code, c.code) << shown;
  }
}

TEST(Grammar, StoresValuesAsTyped) {
  Parsed add = parse({"-add", "tcp", "0080", "8080"});
  EXPECT_EQ(add.code, 4);
  EXPECT_EQ(add.request.protocol, "tcp");
  EXPECT_EQ(add.request.internal_port, 80);
  EXPECT_EQ(add.request.external_port, 8080);
  EXPECT_TRUE(add.request.description.empty());

  Parsed client = parse({"-add", "-q", "Udp", "-ip", "192.168.001.020", "1", "65535", "a b & <c>"});
  EXPECT_EQ(client.code, 5);
  EXPECT_TRUE(client.request.quick);
  EXPECT_EQ(client.request.protocol, "Udp");
  EXPECT_EQ(client.request.ip_address, "192.168.001.020");
  EXPECT_EQ(client.request.internal_port, 1);
  EXPECT_EQ(client.request.external_port, 65535);
  EXPECT_EQ(client.request.description, "a b & <c>");

  Parsed id = parse({"-list", "-id", "007"});
  EXPECT_EQ(id.code, 440);
  EXPECT_EQ(id.request.entry_id, 7);

  Parsed status = parse({"-list", "-s", "DISABLED"});
  EXPECT_EQ(status.code, 960);
  EXPECT_EQ(status.request.enabled, 0);

  Parsed remove = parse({"-remove", "uDp", "00443"});
  EXPECT_EQ(remove.code, 7);
  EXPECT_EQ(remove.request.protocol, "uDp");
  EXPECT_EQ(remove.request.external_port, 443);
}

struct AddressCase {
  const char* typed;
  const char* dotted;  // nullptr: names no address
};

class GrammarAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(GrammarAddress, EveryFormInetAddrReadsMeansItsDottedAddress) {
  std::string dotted = "untouched";
  const AddressCase& c = GetParam();
  EXPECT_EQ(address_dotted(c.typed, &dotted), c.dotted != nullptr);
  EXPECT_EQ(dotted, c.dotted != nullptr ? c.dotted : "untouched");
  // The short form is a filter like any other, kept as typed.
  if (c.dotted != nullptr && parse({"-list", "-ip", c.typed}).code == 624) {
    EXPECT_EQ(parse({"-list", "-ip", c.typed}).request.ip_address, c.typed);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, GrammarAddress,
    ::testing::Values(AddressCase{"1", "0.0.0.1"}, AddressCase{"127.1", "127.0.0.1"},
                      AddressCase{"0x7f.1", "127.0.0.1"}, AddressCase{"0X7F.0.0.1", "127.0.0.1"},
                      AddressCase{"010.0.0.1", "8.0.0.1"},
                      AddressCase{"192.168.001.020", "192.168.1.16"},
                      AddressCase{"1.256", "1.0.1.0"}, AddressCase{"1.0xffffff", "1.255.255.255"},
                      AddressCase{"10.0.0.5 trailing", "10.0.0.5"}, AddressCase{"08", nullptr},
                      AddressCase{"0x", nullptr}, AddressCase{"1.2.3.4x", nullptr},
                      AddressCase{"1.2.3.256", nullptr}, AddressCase{"1.2.3.4.5", nullptr},
                      AddressCase{" 1.2.3.4", nullptr}, AddressCase{"4294967296", nullptr}));

TEST(Grammar, BoundsAddressAndDescriptionTexts) {
  // The platform accepts trailing text after a blank; the field holds 31 characters.
  std::string long_address = "10.0.0.1 " + std::string(22, 'x');  // 31 characters
  EXPECT_EQ(parse({"-list", "-ip", long_address}).code, 624);
  EXPECT_EQ(parse({"-list", "-ip", long_address + "x"}).code, 0);
  EXPECT_EQ(parse({"-add", "TCP", "-ip", long_address + "x", "80", "8080"}).code, 0);
  // The short and hexadecimal forms of the platform's conversion are accepted as typed.
  Parsed hex = parse({"-list", "-ip", "0x7f.1"});
  EXPECT_EQ(hex.code, 624);
  EXPECT_EQ(hex.request.ip_address, "0x7f.1");

  std::string longest(kDescriptionMax, 'd');
  Parsed whole = parse({"-add", "TCP", "80", "8080", longest});
  EXPECT_EQ(whole.code, 3);
  EXPECT_EQ(whole.request.description.size(), kDescriptionMax);
  EXPECT_EQ(parse({"-add", "TCP", "80", "8080", longest + "d"}).code, 0);

  // The description is kept as it is sent: UTF-8, a Latin-1 text converted, controls
  // as blanks. Its bound holds for what is sent.
  EXPECT_EQ(parse({"-add", "TCP", "80", "8080", "caf\xe9 ctl\x01\n"}).request.description,
            "caf\xc3\xa9 ctl  ");
  EXPECT_EQ(parse({"-add", "TCP", "80", "8080", std::string(kDescriptionMax / 2, '\xe9')}).code, 3);
  EXPECT_EQ(parse({"-add", "TCP", "80", "8080", std::string(kDescriptionMax / 2 + 1, '\xe9')}).code,
            0);
  // An address is printable ASCII: what the platform lets follow it must be too.
  EXPECT_EQ(parse({"-list", "-ip", "10.0.0.1 x"}).code, 624);
  for (const char* address : {"10.0.0.1 \x01", "10.0.0.1\t", "10.0.0.1 \xe9", "10.0.0.1 \x7f"}) {
    EXPECT_EQ(parse({"-list", "-ip", address}).code, 0) << address;
  }
}

TEST(Grammar, QuickOptionShiftsTheRest) {
  std::string words[] = {"pw", "-add", "-q", "TCP", "80", "8080"};
  char* argv[7];
  for (int i = 0; i < 6; ++i) argv[i] = &words[i][0];
  argv[6] = nullptr;
  ASSERT_EQ(take_quick_option(6, argv), 1);
  EXPECT_STREQ(argv[1], "-add");
  EXPECT_STREQ(argv[2], "TCP");
  EXPECT_STREQ(argv[3], "80");
  EXPECT_STREQ(argv[4], "8080");

  std::string few[] = {"pw", "-list", "-q", "-stats"};
  char* short_argv[5] = {&few[0][0], &few[1][0], &few[2][0], &few[3][0], nullptr};
  EXPECT_FALSE(take_quick_option(4, short_argv));
  EXPECT_STREQ(short_argv[2], "-q");
}

TEST(Grammar, DigitTest) {
  EXPECT_TRUE(is_all_digits(""));
  EXPECT_TRUE(is_all_digits("0123456789"));
  EXPECT_FALSE(is_all_digits("12a"));
  EXPECT_FALSE(is_all_digits(" 1"));
  EXPECT_FALSE(is_all_digits("-1"));
}

}  // namespace
