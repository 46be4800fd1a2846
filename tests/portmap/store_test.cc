#include "portmap/store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

std::string state_folder(const std::string& name) {
  const std::filesystem::path folder =
      std::filesystem::path(::testing::TempDir()) / ("pw-store-" + name);
  std::filesystem::remove_all(folder);
  return folder.string();
}

std::string stored_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : "(none)";
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

StoredMapping mapping_on(uint16_t external, const std::string& gateway = "192.168.77.1") {
  return {"natpmp",      gateway, kIpProtocolTcp, external, static_cast<uint16_t>(external - 1000),
          "192.168.77.2"};
}

// The published SipHash-2-4 vector: key 00..0f, the 15 bytes 00..0e.
TEST(Store, SipHashGivesThePublishedVector) {
  StoreSecret key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i);
  std::string message;
  for (char c = 0; c < 15; ++c) message += c;
  EXPECT_EQ(store_siphash(key, message), 0xa129ca6149be45e5ULL);
  EXPECT_EQ(store_siphash(key, ""), 0x726fdb47dd0e0e31ULL);  // the vector of no bytes
}

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

// Runs at once each keep their record: ten changes side by side, all ten there after.
// The control: the same ten one after another.
class TableChanges : public ::testing::TestWithParam<bool> {};

TEST_P(TableChanges, AtOnceKeepEveryRecord) {
  const bool at_once = GetParam();
  const std::string folder = state_folder(at_once ? "at-once" : "in-turn");
  std::vector<std::thread> runs;
  std::vector<Error> errors(10, Error::kNoMemory);
  for (uint16_t i = 0; i < 10; ++i) {
    auto put = [&folder, &errors, i]() { errors[i] = store_put(folder, mapping_on(2000 + i)); };
    if (at_once) {
      runs.emplace_back(put);
    } else {
      put();
    }
  }
  for (std::thread& run : runs) run.join();
  for (Error error : errors) EXPECT_EQ(error, Error::kOk);
  std::vector<StoredMapping> table;
  ASSERT_EQ(store_load(folder, &table), Error::kOk);
  EXPECT_EQ(table.size(), 10u) << store_text(table);
}

INSTANTIATE_TEST_SUITE_P(Runs, TableChanges, ::testing::Values(true, false));

// Eight first uses at once on a fresh folder get one secret, the one on disk; the
// control: a run after them reads the same.
TEST(Store, FirstUsesAtOnceAllGetTheOneSecretOnDisk) {
  const std::string folder = state_folder("secret-at-once");
  std::vector<StoreSecret> secrets(8);
  std::vector<Error> errors(8, Error::kNoMemory);
  std::vector<std::thread> runs;
  for (size_t i = 0; i < secrets.size(); ++i) {
    runs.emplace_back([&, i]() { errors[i] = store_secret(folder, &secrets[i]); });
  }
  for (std::thread& run : runs) run.join();
  const std::string on_disk = stored_text(folder + "/secret");
  ASSERT_EQ(on_disk.size(), 16u);
  for (size_t i = 0; i < secrets.size(); ++i) {
    EXPECT_EQ(errors[i], Error::kOk);
    EXPECT_EQ(std::string(secrets[i].begin(), secrets[i].end()), on_disk) << i;
  }
  StoreSecret later{};
  ASSERT_EQ(store_secret(folder, &later), Error::kOk);
  EXPECT_EQ(std::string(later.begin(), later.end()), on_disk);
  EXPECT_NE(on_disk, std::string(16, '\0'));
}

// A secret of another size is an error naming the file, and is left as it is; the
// control: one of 16 bytes is taken.
class SecretSize : public ::testing::TestWithParam<size_t> {};

TEST_P(SecretSize, IsTakenOrNamedNeverReplaced) {
  const std::string folder = state_folder("secret-" + std::to_string(GetParam()));
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/secret";
  const std::string bytes(GetParam(), 'k');
  write_text(path, bytes);
  StoreSecret secret{};
  std::string problem;
  const Error error = store_secret(folder, &secret, &problem);
  EXPECT_EQ(stored_text(path), bytes);
  if (GetParam() == secret.size()) {
    EXPECT_EQ(error, Error::kOk) << problem;
    EXPECT_EQ(std::string(secret.begin(), secret.end()), bytes);
    return;
  }
  EXPECT_EQ(error, Error::kPortmapStore);
  EXPECT_NE(problem.find(path), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(Sizes, SecretSize, ::testing::Values(16, 0, 15, 17, 4096));

// A line the table cannot read stays through the next change; the control: the record
// changed is there.
TEST(Store, LinesOfAnotherShapeAreKept) {
  const std::string folder = state_folder("corrupt");
  std::filesystem::create_directories(folder);
  const std::string odd = "upnp 1.2.3.4 TCP 1 1 x\npcp cut\nnatpmp 1.2.3.4 TCP 1 1 x more\n";
  write_text(folder + "/mappings", odd);
  ASSERT_EQ(store_put(folder, mapping_on(3000)), Error::kOk);
  EXPECT_EQ(stored_text(folder + "/mappings"), store_text({mapping_on(3000)}) + odd);
  ASSERT_EQ(store_drop(folder, mapping_on(3000)), Error::kOk);
  EXPECT_EQ(stored_text(folder + "/mappings"), odd);
}

// The table is 1 MiB at most: at the cap it is read (the control); over it, an error,
// and nothing written over it.
class TableCap : public ::testing::TestWithParam<size_t> {};

TEST_P(TableCap, OverItIsAnErrorNotAPart) {
  const std::string folder = state_folder("cap-" + std::to_string(GetParam()));
  std::filesystem::create_directories(folder);
  const std::string line = store_text({mapping_on(4000)});
  std::string text;
  size_t lines = 0;
  for (; text.size() + line.size() <= kStoreTableBytesMax; ++lines) text += line;
  text += std::string(kStoreTableBytesMax - text.size(), '\n');
  text += std::string(GetParam(), '\n');
  write_text(folder + "/mappings", text);
  std::vector<StoredMapping> table;
  std::string problem;
  const bool over = GetParam() > 0;
  EXPECT_EQ(store_load(folder, &table, &problem), over ? Error::kPortmapStore : Error::kOk);
  EXPECT_EQ(store_put(folder, mapping_on(4001), &problem),
            over ? Error::kPortmapStore : Error::kOk);
  if (over) {
    EXPECT_NE(problem.find("longer than"), std::string::npos) << problem;
    EXPECT_EQ(stored_text(folder + "/mappings").size(), text.size());
  } else {
    EXPECT_EQ(table.size(), lines);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TableCap, ::testing::Values(0, 1));

// A record is the mapping's through its way and gateway: one made through another
// gateway, or the other protocol, stays; the control: the same mapping's is replaced.
struct Other {
  const char* what;
  StoredMapping second;
  size_t kept;
};

class RecordKey : public ::testing::TestWithParam<Other> {};

TEST_P(RecordKey, KeepsTheRecordsOfOtherGateways) {
  const std::string folder = state_folder(std::string("key-") + GetParam().what);
  ASSERT_EQ(store_put(folder, mapping_on(5000)), Error::kOk);
  ASSERT_EQ(store_put(folder, GetParam().second), Error::kOk);
  std::vector<StoredMapping> table;
  ASSERT_EQ(store_load(folder, &table), Error::kOk);
  EXPECT_EQ(table.size(), GetParam().kept) << store_text(table);
}

INSTANTIATE_TEST_SUITE_P(
    Others, RecordKey,
    ::testing::Values(
        Other{"same", mapping_on(5000), 1}, Other{"gateway", mapping_on(5000, "10.0.0.1"), 2},
        Other{"via", {"pcp", "192.168.77.1", kIpProtocolTcp, 5000, 4000, "192.168.77.2"}, 2},
        Other{
            "protocol", {"natpmp", "192.168.77.1", kIpProtocolUdp, 5000, 4000, "192.168.77.2"}, 2}),
    [](const ::testing::TestParamInfo<Other>& info) { return std::string(info.param.what); });

#ifndef _WIN32
// A folder another user may write holds no secret this host takes; the control: 0700.
class SecretFolder : public ::testing::TestWithParam<unsigned> {};

TEST_P(SecretFolder, IsRefusedWhereOthersMayWrite) {
  const std::string folder = state_folder("mode-" + std::to_string(GetParam()));
  std::filesystem::create_directories(folder);
  ASSERT_EQ(chmod(folder.c_str(), GetParam()), 0);
  write_text(folder + "/secret", std::string(16, 'k'));
  StoreSecret secret{};
  std::string problem;
  const bool private_folder = GetParam() == 0700;
  EXPECT_EQ(store_secret(folder, &secret, &problem),
            private_folder ? Error::kOk : Error::kPortmapStore);
  EXPECT_EQ(store_put(folder, mapping_on(6000)),
            private_folder ? Error::kOk : Error::kPortmapStore);
  if (!private_folder) {
    EXPECT_NE(problem.find("may write it"), std::string::npos) << problem;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, SecretFolder, ::testing::Values(0700, 0770, 0707));
#endif

// A state folder outside the ANSI code page (Windows' %LOCALAPPDATA% of a user named so):
// its secret made and its table changed under that very name.
TEST(Store, AFolderOfAnyCharactersHoldsTheState) {
  const std::string folder = ::testing::TempDir() + "pw-store-\xc3\xa9t\xc3\xa9-\xe6\x97\xa5";
  std::filesystem::remove_all(std::filesystem::u8path(folder));
  StoreSecret secret{};
  std::string problem;
  ASSERT_EQ(store_secret(folder, &secret, &problem), Error::kOk) << problem;
  ASSERT_EQ(store_put(folder, mapping_on(7000), &problem), Error::kOk) << problem;
  std::vector<StoredMapping> table;
  ASSERT_EQ(store_load(folder, &table, &problem), Error::kOk) << problem;
  EXPECT_EQ(table.size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(folder + "/secret")));
  std::filesystem::remove_all(std::filesystem::u8path(folder));
}

// No folder: no secret, never a key of zeros.
TEST(Store, NoFolderNoSecret) {
  StoreSecret secret{};
  std::string problem;
  EXPECT_EQ(store_secret("", &secret, &problem), Error::kPortmapStore);
  EXPECT_NE(problem.find("PORTWRANGLER_STATE_DIR"), std::string::npos) << problem;
}

}  // namespace
