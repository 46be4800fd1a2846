#include "flows/diagnose.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

DiagnosedGateway device(const std::string& address, bool at_default, bool chosen,
                        const std::string& external) {
  DiagnosedGateway gateway;
  gateway.address = address;
  gateway.interface_name = "eth0";
  gateway.location = "http://" + address + ":5000/rootDesc.xml";
  gateway.usable = true;
  gateway.default_gateway = at_default;
  gateway.chosen = chosen;
  gateway.external_read = true;
  gateway.external_address = external;
  return gateway;
}

Diagnosis lan(std::vector<DiagnosedGateway> gateways) {
  Diagnosis diagnosis;
  diagnosis.interfaces.push_back({"eth0", "192.168.1.10", "192.168.1.1", !gateways.empty()});
  diagnosis.gateways = std::move(gateways);
  return diagnosis;
}

struct AdviceCase {
  const char* name;
  Diagnosis diagnosis;
  std::vector<Advice> advice;
};

const Advice kUsesDefault = {"Commands use the router at 192.168.1.1, your default gateway.",
                             "Nothing to change."};
const Advice kPublic = {"No second NAT seen: the external address 203.0.113.9 is public.",
                        "Nothing to change."};

Diagnosis with_forwarding(Diagnosis diagnosis, const char* protocol, bool in_table, bool this_host,
                          int listening) {
  diagnosis.forwarding_asked = true;
  DiagnosedForwarding& forwarding = diagnosis.forwarding;
  forwarding.protocol = protocol;
  forwarding.external_port = 2222;
  forwarding.looked_up = true;
  forwarding.in_table = in_table;
  forwarding.entry.client = this_host ? "192.168.1.10" : "192.168.1.20";
  forwarding.entry.internal_port = 22;
  forwarding.entry.enabled = 1;
  forwarding.entry.lease_seconds = 3540;
  forwarding.this_host = this_host;
  forwarding.listening = listening;
  return diagnosis;
}

Diagnosis with_double_nat(Diagnosis diagnosis) {
  diagnosis.double_nat = true;
  diagnosis.evidence = {"one", "two"};
  return diagnosis;
}

TEST(Diagnose, EachFindingWithItsNextStep) {
  const DiagnosedGateway main_router = device("192.168.1.1", true, true, "203.0.113.9");
  const DiagnosedGateway first_other = device("192.168.1.2", false, true, "203.0.113.9");
  const DiagnosedGateway main_later = device("192.168.1.1", true, false, "203.0.113.9");
  Diagnosis silent = lan({});
  silent.interfaces.push_back({"tun0", "10.8.0.2", "", false});
  const AdviceCase cases[] = {
      {"the control: the default gateway is used, its address public",
       lan({main_router}),
       {kUsesDefault, kPublic}},
      {"another device answered first, the default gateway too",
       lan({first_other, main_later}),
       {{"The device at 192.168.1.2 answered first; your default gateway is 192.168.1.1.",
         "Use --url http://192.168.1.1:5000/rootDesc.xml to reach it, or turn UPnP off on "
         "192.168.1.2."},
        kPublic}},
      {"another device answered, the default gateway did not",
       lan({first_other}),
       {{"The device at 192.168.1.2 answered first; your default gateway is 192.168.1.1.",
         "Turn UPnP IGD on in the settings of 192.168.1.1, or turn it off on 192.168.1.2."},
        {"No second NAT seen: the external address 203.0.113.9 is public.", "Nothing to change."}}},
      {"nothing answered anywhere",
       silent,
       {{"No UPnP device answered on eth0 (192.168.1.10).",
         "Turn UPnP IGD on in the settings of 192.168.1.1, or let UDP replies from port 1900 "
         "through this host's firewall."},
        {"No UPnP device answered on tun0 (10.8.0.2).",
         "Nothing to do unless your router is on that link."},
        {"No UPnP router answered the search.",
         "Turn UPnP IGD on in the router's settings, or name its description with --url."}}},
      {"double NAT",
       with_double_nat(lan({device("192.168.1.1", true, true, "100.64.0.2")})),
       {kUsesDefault,
        {"Double NAT: one; two.",
         "Forward the port on the outer router too, or ask your provider for a public "
         "address."}}},
      {"the forwarding is missing",
       with_forwarding(lan({main_router}), "TCP", false, false, -1),
       {kUsesDefault,
        kPublic,
        {"TCP 2222 is not in the table of the router at 192.168.1.1.",
         "Add it: portwrangler -add TCP IPORT 2222."}}},
      {"another host holds it",
       with_forwarding(lan({main_router}), "TCP", true, false, -1),
       {kUsesDefault,
        kPublic,
        {"TCP 2222 goes to 192.168.1.20:22 (another host), enabled, 3540 s of its lease left.",
         "Remove it from 192.168.1.20, or use another external port."}}},
      {"this host's, nothing listens",
       with_forwarding(lan({main_router}), "TCP", true, true, 0),
       {kUsesDefault,
        kPublic,
        {"TCP 2222 goes to 192.168.1.10:22 (this host), enabled, 3540 s of its lease left.",
         "Nothing to change in the table."},
        {"Nothing listens on TCP port 22 of this host.",
         "Start the service, or forward to the port it listens on."}}},
      {"this host's, a listener (the control)",
       with_forwarding(lan({main_router}), "TCP", true, true, 1),
       {kUsesDefault,
        kPublic,
        {"TCP 2222 goes to 192.168.1.10:22 (this host), enabled, 3540 s of its lease left.",
         "Nothing to change in the table."},
        {"A service listens on TCP port 22 of this host.",
         "Nothing to change here; test from outside the LAN."}}},
      {"UDP cannot be told",
       with_forwarding(lan({main_router}), "UDP", true, true, -1),
       {kUsesDefault,
        kPublic,
        {"UDP 2222 goes to 192.168.1.10:22 (this host), enabled, 3540 s of its lease left.",
         "Nothing to change in the table."},
        {"Whether anything listens on UDP port 22 cannot be told from here.",
         "Check that the service runs; a datagram from outside proves the path."}}},
  };
  for (const AdviceCase& c : cases) {
    const std::vector<Advice> advice = diagnose_advice(c.diagnosis);
    ASSERT_EQ(advice.size(), c.advice.size()) << c.name;
    for (size_t i = 0; i < advice.size(); ++i) {
      EXPECT_EQ(advice[i].finding, c.advice[i].finding) << c.name;
      EXPECT_EQ(advice[i].next_step, c.advice[i].next_step) << c.name;
    }
  }
}

/// The default gateway's NAT-PMP/PCP server (version 2: PCP), refusing with `refusal`.
DiagnosedGateway server(int version, int refusal) {
  DiagnosedGateway gateway;
  gateway.protocol = version == 2 ? "pcp" : "natpmp";
  gateway.address = "192.168.1.1";
  gateway.default_gateway = true;
  gateway.version = version;
  gateway.refusal = refusal;
  return gateway;
}

TEST(Diagnose, NeverAdvisesAServerThatRefused) {
  const std::string finding = "No UPnP router answered the search.";
  const std::string upnp =
      "Turn UPnP IGD on in the router's settings, or name its description with --url.";
  const AdviceCase cases[] = {
      {"the control: PCP answers",
       lan({server(2, 0), server(0, 0)}),
       {{finding, "Use --protocol auto: 192.168.1.1 answers PCP."}}},
      {"PCP refuses, NAT-PMP answers",
       lan({server(2, 2), server(0, 0)}),
       {{finding,
         "Use --protocol natpmp: 192.168.1.1 answers NAT-PMP; PCP at 192.168.1.1 "
         "refuses (NOT_AUTHORIZED)."}}},
      {"the control: NAT-PMP alone answers",
       lan({server(0, 0)}),
       {{finding, "Use --protocol auto: 192.168.1.1 answers NAT-PMP."}}},
      {"both refuse",
       lan({server(2, 2), server(0, 3)}),
       {{finding,
         "Nothing here will map a port as it stands: PCP at 192.168.1.1 refuses "
         "(NOT_AUTHORIZED); NAT-PMP at 192.168.1.1 refuses (NETWORK_FAILURE). " +
             upnp}}},
  };
  for (const AdviceCase& c : cases) {
    const std::vector<Advice> advice = diagnose_advice(c.diagnosis);
    ASSERT_EQ(advice.size(), c.advice.size()) << c.name;
    EXPECT_EQ(advice[0].finding, c.advice[0].finding) << c.name;
    EXPECT_EQ(advice[0].next_step, c.advice[0].next_step) << c.name;
  }
}

}  // namespace
