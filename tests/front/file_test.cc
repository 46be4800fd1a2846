// The status file replaced whole, over no file and over an old one (on Windows the case
// a plain rename refuses), and the stamp that tells a held set's file changed.
#include "front/file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : "(none)";
}

bool exists(const std::string& path) {
  return static_cast<bool>(std::ifstream(path));
}

TEST(File, ReplacedWholeInOneStepAndStampedByItsChange) {
  const std::string path = ::testing::TempDir() + "pw-file-test.json";
  std::remove(path.c_str());
  EXPECT_EQ(file_stamp(path), "");  // no file, no stamp
  ASSERT_TRUE(file_replace(path, "{\"entries\": []}\n"));
  EXPECT_EQ(contents(path), "{\"entries\": []}\n");
  const std::string first = file_stamp(path);
  EXPECT_NE(first, "");
  EXPECT_EQ(file_stamp(path), first);                       // unchanged: the same stamp
  ASSERT_TRUE(file_replace(path, "{\"entries\": [1]}\n"));  // over the old one
  EXPECT_EQ(contents(path), "{\"entries\": [1]}\n");
  EXPECT_NE(file_stamp(path), first);
  EXPECT_FALSE(exists(path + ".new"));
  std::remove(path.c_str());
  // A folder that is not there: nothing written, nothing left beside.
  const std::string nowhere = ::testing::TempDir() + "pw-no-such-folder/status.json";
  EXPECT_FALSE(file_replace(nowhere, "x"));
  EXPECT_FALSE(exists(nowhere + ".new"));
}

}  // namespace
