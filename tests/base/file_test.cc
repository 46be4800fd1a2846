// A file replaced whole, over no file and over an old one (on Windows the case a plain
// rename refuses), with nothing left beside it; the capped read; and the stamp that tells
// a held set's file changed.
#include "base/file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string whole_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : "(none)";
}

/// A fresh folder of its own for one case.
std::string empty_folder(const std::string& name) {
  const std::filesystem::path folder =
      std::filesystem::path(::testing::TempDir()) / ("pw-file-" + name);
  std::filesystem::remove_all(folder);
  std::filesystem::create_directory(folder);
  return folder.string();
}

std::string names_in(const std::string& folder) {
  std::string names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names += entry.path().filename().string() + "\n";
  }
  return names;
}

TEST(File, ReplacedWholeInOneStepAndStampedByItsChange) {
  const std::string folder = empty_folder("whole");
  const std::string path = folder + "/status.json";
  EXPECT_EQ(file_stamp(path), "");  // no file, no stamp
  ASSERT_TRUE(file_replace(path, "{\"entries\": []}\n"));
  EXPECT_EQ(whole_text(path), "{\"entries\": []}\n");
  const std::string first = file_stamp(path);
  EXPECT_NE(first, "");
  EXPECT_EQ(file_stamp(path), first);                       // unchanged: the same stamp
  ASSERT_TRUE(file_replace(path, "{\"entries\": [1]}\n"));  // over the old one
  EXPECT_EQ(whole_text(path), "{\"entries\": [1]}\n");
  EXPECT_NE(file_stamp(path), first);
  EXPECT_EQ(names_in(folder), "status.json\n");  // nothing left beside it
  // A folder that is not there: nothing written, nothing left beside, and why.
  const std::string nowhere = folder + "/no-such-folder/status.json";
  std::string problem;
  EXPECT_FALSE(file_replace(nowhere, "x", &problem));
  EXPECT_NE(problem.find("no-such-folder"), std::string::npos) << problem;
  EXPECT_EQ(names_in(folder), "status.json\n");
}

// A path outside the ANSI code page (on Windows the system takes it as UTF-16): the folder
// made, the file replaced, read and stamped under that very name.
TEST(File, APathOfAnyCharactersIsUsedAsItIs) {
  const std::string folder = ::testing::TempDir() + "pw-file-\xc3\xa9t\xc3\xa9-\xe6\x97\xa5";
  std::filesystem::remove_all(std::filesystem::u8path(folder));
  std::string problem, text;
  ASSERT_TRUE(folder_make_private(folder, &problem)) << problem;
  const std::string path = folder + "/\xce\xb1.json";
  ASSERT_TRUE(file_replace(path, "text\n", &problem)) << problem;
  EXPECT_EQ(file_read(path, 100, &text, &problem), FileRead::kOk) << problem;
  EXPECT_EQ(text, "text\n");
  EXPECT_NE(file_stamp(path), "");
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(path)));
  std::filesystem::remove_all(std::filesystem::u8path(folder));
}

// The capped read: at the cap whole (the control), over it nothing, and no file told
// apart from one that cannot be read.
struct Capped {
  const char* what;
  size_t bytes;  // written; the cap is 100
  FileRead read;
};

class CappedRead : public ::testing::TestWithParam<Capped> {};

TEST_P(CappedRead, TakesTheFileWholeOrNothing) {
  const std::string folder = empty_folder(std::string("cap-") + GetParam().what);
  const std::string path = folder + "/file";
  if (GetParam().read != FileRead::kMissing) {
    std::ofstream(path) << std::string(GetParam().bytes, 'x');
  }
  std::string text = "old", problem;
  EXPECT_EQ(file_read(path, 100, &text, &problem), GetParam().read);
  EXPECT_EQ(text, GetParam().read == FileRead::kOk ? std::string(GetParam().bytes, 'x') : "");
  if (GetParam().read != FileRead::kOk) {
    EXPECT_NE(problem.find(path), std::string::npos) << problem;
  }
}

INSTANTIATE_TEST_SUITE_P(Cap, CappedRead,
                         ::testing::Values(Capped{"empty", 0, FileRead::kOk},
                                           Capped{"at", 100, FileRead::kOk},
                                           Capped{"over", 101, FileRead::kTooLong},
                                           Capped{"far", 200000, FileRead::kTooLong},
                                           Capped{"missing", 0, FileRead::kMissing}),
                         [](const ::testing::TestParamInfo<Capped>& info) {
                           return std::string(info.param.what);
                         });

}  // namespace
