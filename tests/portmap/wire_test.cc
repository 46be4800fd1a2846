#include "portmap/wire.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Bytes hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == ' ') continue;
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    ++i;
  }
  return out;
}

PcpNonce nonce_of(uint8_t first) {
  PcpNonce nonce{};
  for (size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<uint8_t>(first + i);
  return nonce;
}

TEST(NatpmpWire, RequestsAreLaidOutAsTheProtocolSays) {
  EXPECT_EQ(natpmp_encode_external_address(), hex("0000"));
  // version, opcode 2 (TCP), reserved, internal 22, suggested 2222, lifetime 7200
  EXPECT_EQ(natpmp_encode_map({kIpProtocolTcp, 22, 2222, 7200}),
            hex("0002 0000 0016 08ae 00001c20"));
  EXPECT_EQ(natpmp_encode_map({kIpProtocolUdp, 5000, 0, 0}), hex("0001 0000 1388 0000 00000000"));
}

TEST(NatpmpWire, AnswersAreRead) {
  const Bytes address = hex("0080 0000 00000e10 c0000201");
  NatpmpAnswer answer;
  ASSERT_EQ(natpmp_decode(address.data(), address.size(), 0, nullptr, &answer), WireCheck::kOk);
  EXPECT_EQ(answer.epoch, 3600u);
  EXPECT_EQ(answer.external_address, wire_address_v4(192, 0, 2, 1));

  const NatpmpMapRequest map{kIpProtocolTcp, 22, 2222, 7200};
  const Bytes granted = hex("0082 0000 0000000a 0016 08af 00000e10");
  ASSERT_EQ(natpmp_decode(granted.data(), granted.size(), 2, &map, &answer), WireCheck::kOk);
  EXPECT_EQ(answer.result, 0);
  EXPECT_EQ(answer.internal_port, 22);
  EXPECT_EQ(answer.external_port, 2223);
  EXPECT_EQ(answer.lifetime, 3600u);

  const Bytes refused = hex("0082 0002 0000000a");  // a refusal may stop after the epoch
  ASSERT_EQ(natpmp_decode(refused.data(), refused.size(), 2, &map, &answer), WireCheck::kOk);
  EXPECT_EQ(answer.result, 2);
  EXPECT_STREQ(natpmp_result_name(answer.result), "NOT_AUTHORIZED");
}

struct BadDatagram {
  const char* name;
  const char* bytes;
  WireCheck check;
};

class NatpmpBadAnswer : public testing::TestWithParam<BadDatagram> {};

TEST_P(NatpmpBadAnswer, IsNeverTaken) {
  const NatpmpMapRequest map{kIpProtocolTcp, 22, 2222, 7200};
  const Bytes data = hex(GetParam().bytes);
  NatpmpAnswer answer;
  EXPECT_EQ(natpmp_decode(data.data(), data.size(), 2, &map, &answer), GetParam().check);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, NatpmpBadAnswer,
    testing::Values(
        BadDatagram{"control", "0082 0000 0000000a 0016 08ae 00000e10", WireCheck::kOk},
        BadDatagram{"short", "0082 0000 0000", WireCheck::kBadLength},
        BadDatagram{"success_cut", "0082 0000 0000000a", WireCheck::kBadLength},
        BadDatagram{"runs_on", "0082 0000 0000000a 0016 08ae 00000e10 00", WireCheck::kBadLength},
        BadDatagram{"version", "0182 0000 0000000a 0016 08ae 00000e10", WireCheck::kBadVersion},
        BadDatagram{"request", "0002 0000 0000000a 0016 08ae 00000e10", WireCheck::kNotAnswer},
        BadDatagram{"udp_answer", "0081 0000 0000000a 0016 08ae 00000e10", WireCheck::kBadOpcode},
        BadDatagram{"other_port", "0082 0000 0000000a 0017 08ae 00000e10", WireCheck::kBadPort}),
    [](const testing::TestParamInfo<BadDatagram>& info) { return std::string(info.param.name); });

PcpMapRequest sample_map() {
  PcpMapRequest request;
  request.lifetime = 7200;
  request.client = wire_address_v4(192, 168, 1, 10);
  request.nonce = nonce_of(1);
  request.protocol = kIpProtocolTcp;
  request.internal_port = 22;
  request.external_port = 2222;
  return request;
}

TEST(PcpWire, MapRequestIsLaidOutAsTheProtocolSays) {
  PcpMapRequest request = sample_map();
  request.prefer_failure = true;
  request.external_address = wire_address_v4(0, 0, 0, 0);  // no IPv4 address suggested
  EXPECT_EQ(pcp_encode_map(request),
            hex("0201 0000 00001c20 00000000000000000000ffff c0a8010a"
                "0102030405060708090a0b0c 06 000000 0016 08ae 00000000000000000000ffff00000000"
                "02 00 0000"));
}

// The THIRD_PARTY option as another client's test suite lays it out for 10.0.0.1
// (baresip/re, test/pcp.c, test_pcp_option: 01 00 00 10, then ::ffff:10.0.0.1).
TEST(PcpWire, ThirdPartyOptionMatchesAnotherClient) {
  PcpMapRequest request = sample_map();
  request.third_party = true;
  request.internal_address = wire_address_v4(10, 0, 0, 1);
  const Bytes encoded = pcp_encode_map(request);
  ASSERT_EQ(encoded.size(), 24u + 36u + 20u);
  EXPECT_EQ(Bytes(encoded.begin() + 60, encoded.end()),
            hex("01000010 00000000 00000000 0000ffff 0a000001"));
}

TEST(PcpWire, AnnounceIsTheHeaderAlone) {
  EXPECT_EQ(pcp_encode_announce(wire_address_v4(10, 0, 0, 2)),
            hex("0200 0000 00000000 00000000000000000000ffff 0a000002"));
}

// A real answer: Debian's miniupnpd 2.3.1 in the lab (tests/lab/lab.sh, LAB_PORTMAP=yes)
// to a MAP for TCP 22 -> 2222, 7200 s, from 192.168.77.2 with nonce 01..0c, as received.
const char kRecordedAnswer[] =
    "0281 0000 00001c20 0000032b 000000000000000000000000"
    "0102030405060708090a0b0c 06 000000 0016 08ae 00000000000000000000ffff 50515202";

TEST(PcpWire, RecordedAnswerIsRead) {
  const Bytes data = hex(kRecordedAnswer);
  PcpAnswer answer;
  ASSERT_EQ(pcp_decode(data.data(), data.size(), &answer), WireCheck::kOk);
  EXPECT_EQ(answer.result, 0);
  EXPECT_EQ(answer.lifetime, 7200u);
  EXPECT_EQ(answer.external_port, 2222);
  EXPECT_EQ(answer.epoch, 811u);
  EXPECT_EQ(answer.external_address, wire_address_v4(80, 81, 82, 2));
  EXPECT_EQ(pcp_answers_map(sample_map(), answer), WireCheck::kOk);
}

class PcpBadAnswer : public testing::TestWithParam<BadDatagram> {};

TEST_P(PcpBadAnswer, IsNeverTaken) {
  const Bytes data = hex(GetParam().bytes);
  PcpAnswer answer;
  WireCheck check = pcp_decode(data.data(), data.size(), &answer);
  if (check == WireCheck::kOk) check = pcp_answers_map(sample_map(), answer);
  EXPECT_EQ(check, GetParam().check);
}

#define PCP_HEAD "0281 0000 00001c20 00000000 000000000000000000000000"
#define PCP_ADDR "00000000000000000000ffff 50515202"

INSTANTIATE_TEST_SUITE_P(
    Checks, PcpBadAnswer,
    testing::Values(
        BadDatagram{"control", kRecordedAnswer, WireCheck::kOk},
        BadDatagram{"natpmp_only", "0080 0001 00000000", WireCheck::kNatpmpOnly},
        BadDatagram{"natpmp_only_echo", "0081 0001 00000000", WireCheck::kNatpmpOnly},
        BadDatagram{"short", "0281 0000 00001c20 00000000", WireCheck::kBadLength},
        BadDatagram{"odd_length",
                    PCP_HEAD "0102030405060708090a0b0c 06 000000 0016 08ae " PCP_ADDR "00",
                    WireCheck::kBadLength},
        BadDatagram{"success_without_map", PCP_HEAD, WireCheck::kBadLength},
        // An error answer is taken only with the payload that says whose it is.
        BadDatagram{"refusal_without_map", "0281 0003 00000000 00000000 000000000000000000000000",
                    WireCheck::kNoPayload},
        BadDatagram{"refusal_with_map",
                    "0281 0002 00000000 00000000 000000000000000000000000"
                    "0102030405060708090a0b0c 06 000000 0016 08ae " PCP_ADDR,
                    WireCheck::kOk},
        BadDatagram{"refusal_other_nonce",
                    "0281 0002 00000000 00000000 000000000000000000000000"
                    "ff02030405060708090a0b0c 06 000000 0016 08ae " PCP_ADDR,
                    WireCheck::kBadNonce},
        BadDatagram{"version",
                    "0181 0000 00001c20 00000000 000000000000000000000000"
                    "0102030405060708090a0b0c 06 000000 0016 08ae " PCP_ADDR,
                    WireCheck::kBadVersion},
        BadDatagram{"request",
                    "0201 0000 00001c20 00000000 000000000000000000000000"
                    "0102030405060708090a0b0c 06 000000 0016 08ae " PCP_ADDR,
                    WireCheck::kNotAnswer},
        BadDatagram{"announce", "0280 0000 00000000 00000000 000000000000000000000000",
                    WireCheck::kBadOpcode},
        BadDatagram{"nonce", PCP_HEAD "ff02030405060708090a0b0c 06 000000 0016 08ae " PCP_ADDR,
                    WireCheck::kBadNonce},
        BadDatagram{"protocol", PCP_HEAD "0102030405060708090a0b0c 11 000000 0016 08ae " PCP_ADDR,
                    WireCheck::kBadProtocol},
        BadDatagram{"port", PCP_HEAD "0102030405060708090a0b0c 06 000000 0017 08ae " PCP_ADDR,
                    WireCheck::kBadPort},
        BadDatagram{"option_overruns",
                    PCP_HEAD "0102030405060708090a0b0c 06 000000 0016 08ae " PCP_ADDR
                             "01000010 00000000",
                    WireCheck::kBadOption}),
    [](const testing::TestParamInfo<BadDatagram>& info) { return std::string(info.param.name); });

TEST(PcpWire, EveryResultHasAName) {
  EXPECT_STREQ(pcp_result_name(2), "NOT_AUTHORIZED");
  EXPECT_STREQ(pcp_result_name(8), "NO_RESOURCES");
  EXPECT_STREQ(pcp_result_name(10), "USER_EX_QUOTA");
  EXPECT_STREQ(pcp_result_name(12), "ADDRESS_MISMATCH");
  EXPECT_STREQ(pcp_result_name(13), "EXCESSIVE_REMOTE_PEERS");
  EXPECT_STREQ(pcp_result_name(14), "UNKNOWN");
  EXPECT_STREQ(natpmp_result_name(5), "UNSUPPORTED_OPCODE");
  EXPECT_STREQ(natpmp_result_name(6), "UNKNOWN");
}

struct EpochCase {
  bool pcp;  // PCP's test; else NAT-PMP's
  uint32_t previous, now;
  uint64_t client_delta;
  bool lost;
};

class EpochTest : public testing::TestWithParam<EpochCase> {};

TEST_P(EpochTest, FollowsTheClock) {
  const EpochCase& c = GetParam();
  EXPECT_EQ(c.pcp ? pcp_epoch_lost(c.previous, c.now, c.client_delta)
                  : natpmp_epoch_lost(c.previous, c.now, c.client_delta),
            c.lost);
}

// Each rule with its control beside it.
INSTANTIATE_TEST_SUITE_P(
    Pcp, EpochTest,
    testing::Values(EpochCase{true, 1000, 1060, 60, false},   // in step
                    EpochCase{true, 1000, 999, 0, false},     // back by a second: allowed
                    EpochCase{true, 1000, 998, 0, true},      // back by more
                    EpochCase{true, 1000, 1005, 60, true},    // too slow: it restarted
                    EpochCase{true, 1000, 1055, 60, false},   // slow within a sixteenth and 2 s
                    EpochCase{true, 1000, 1200, 60, true},    // too fast
                    EpochCase{true, 1000, 1066, 60, false},   // fast within a sixteenth and 2 s
                    EpochCase{true, 1000, 1002, 0, false}));  // rounding

INSTANTIATE_TEST_SUITE_P(
    Natpmp, EpochTest,
    testing::Values(EpochCase{false, 1000, 1060, 60, false},  // in step
                    EpochCase{false, 1000, 1005, 60, true},   // too slow: it restarted
                    EpochCase{false, 1000, 1051, 60, false},  // 7/8 of 60 s, less 2 s: 1050
                    EpochCase{false, 1000, 1049, 60, true},   // short of that
                    EpochCase{false, 1000, 998, 0, false},    // back by 2 s: allowed
                    EpochCase{false, 1000, 997, 0, true},     // back by more
                    EpochCase{false, 1000, 1200, 60, false},  // fast: no loss in NAT-PMP's
                    EpochCase{false, 0, 5, 3, false}));       // a new start, in step

struct AnnouncementCase {
  const char* name;
  const char* datagram;
  WireCheck check;
  bool pcp;
  uint32_t epoch;
};

class AnnouncementTest : public testing::TestWithParam<AnnouncementCase> {};

TEST_P(AnnouncementTest, IsTakenOnlyWhenItIsOne) {
  const Bytes datagram = hex(GetParam().datagram);
  WireAnnouncement said;
  EXPECT_EQ(wire_decode_announcement(datagram.data(), datagram.size(), &said), GetParam().check);
  if (GetParam().check != WireCheck::kOk) return;
  EXPECT_EQ(said.pcp, GetParam().pcp);
  EXPECT_EQ(said.epoch, GetParam().epoch);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnnouncementTest,
    testing::Values(
        // What the lab's miniupnpd sent to 224.0.0.1:5350 as it started (epoch: the uptime).
        AnnouncementCase{"PcpAnnounce", "0280 0000 00000000 00002ab6 000000000000000000000000",
                         WireCheck::kOk, true, 0x2ab6},
        AnnouncementCase{"PcpAnnounceFailed",
                         "0280 0008 00000000 00002ab6 000000000000000000000000", WireCheck::kFailed,
                         false, 0},
        AnnouncementCase{"PcpMapAnswer", "0281 0008 00000000 00002ab6 000000000000000000000000",
                         WireCheck::kBadOpcode, false, 0},
        AnnouncementCase{"PcpRequest", "0200 0000 00000000 00002ab6 000000000000000000000000",
                         WireCheck::kNotAnswer, false, 0},
        AnnouncementCase{"PcpCut", "0280 0000 00000000 00002ab6", WireCheck::kBadLength, false, 0},
        AnnouncementCase{"NatpmpAddress", "0080 0000 00000e10 50515202", WireCheck::kOk, false,
                         3600},
        AnnouncementCase{"NatpmpAddressFailed", "0080 0003 00000e10", WireCheck::kFailed, false, 0},
        AnnouncementCase{"NatpmpMapAnswer", "0082 0000 00000e10 0016 08ae 00001c20",
                         WireCheck::kBadOpcode, false, 0},
        AnnouncementCase{"NatpmpCut", "0080 0000 00000e10 5051", WireCheck::kBadLength, false, 0},
        AnnouncementCase{"OtherVersion", "0180 0000 00000e10 50515202", WireCheck::kBadVersion,
                         false, 0},
        AnnouncementCase{"Empty", "", WireCheck::kBadLength, false, 0}),
    [](const testing::TestParamInfo<AnnouncementCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
