#include "portmap/store.h"

#include <gtest/gtest.h>

namespace {

TEST(Store, NonceDependsOnSecretAndMapping) {
  StoreSecret secret{};
  StoreSecret other{};
  other[0] = 1;
  const PcpNonce nonce = store_nonce(secret, "192.168.77.2", 22, kIpProtocolTcp);
  EXPECT_EQ(nonce, store_nonce(secret, "192.168.77.2", 22, kIpProtocolTcp));  // control
  EXPECT_NE(nonce, store_nonce(other, "192.168.77.2", 22, kIpProtocolTcp));
  EXPECT_NE(nonce, store_nonce(secret, "192.168.77.3", 22, kIpProtocolTcp));
  EXPECT_NE(nonce, store_nonce(secret, "192.168.77.2", 23, kIpProtocolTcp));
  EXPECT_NE(nonce, store_nonce(secret, "192.168.77.2", 22, kIpProtocolUdp));
}

TEST(Store, TableRoundTripsAndPassesOverOtherLines) {
  const std::vector<StoredMapping> table{
      {"pcp", "192.168.77.1", kIpProtocolTcp, 2222, 22, "192.168.77.2"},
      {"natpmp", "192.168.77.1", kIpProtocolUdp, 5000, 5001, "192.168.77.2"}};
  const std::string text = store_text(table);
  EXPECT_EQ(text,
            "pcp 192.168.77.1 TCP 2222 22 192.168.77.2\n"
            "natpmp 192.168.77.1 UDP 5000 5001 192.168.77.2\n");
  const std::vector<StoredMapping> back =
      store_parse(text + "upnp 1.2.3.4 TCP 1 1 x\npcp 1.2.3.4 TCP 0 1 x\npcp cut\n");
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].via, "natpmp");
  EXPECT_EQ(back[1].protocol, kIpProtocolUdp);
  EXPECT_EQ(back[1].external_port, 5000);
  EXPECT_EQ(back[1].internal_port, 5001);
}

}  // namespace
