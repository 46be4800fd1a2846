// On POSIX: a file replaced is never written through a name planted beside it, and is
// its owner's alone; a folder another user could write is refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "base/file.h"
#include "base/file_platform.h"

namespace {

std::string text_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : "(none)";
}

bool is_there(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

/// A fresh folder of its own for one case.
std::string fresh_folder(const std::string& name) {
  const std::string folder = ::testing::TempDir() + "pw-file-" + name;
  std::system(("rm -rf '" + folder + "'").c_str());
  EXPECT_EQ(mkdir(folder.c_str(), 0700), 0);
  return folder;
}

std::string listing(const std::string& folder) {
  std::string names;
  std::FILE* ls = popen(("ls -A '" + folder + "'").c_str(), "r");
  char line[256];
  while (ls != nullptr && std::fgets(line, sizeof line, ls) != nullptr) names += line;
  if (ls != nullptr) pclose(ls);
  return names;
}

TEST(FilePosix, AReplacedFileIsItsOwnersAlone) {
  const std::string folder = fresh_folder("mode");
  const std::string path = folder + "/secret";
  ASSERT_TRUE(file_replace(path, "0123456789abcdef"));
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(listing(folder), "secret\n");
}

// A symlink planted where the old writer wrote first (NAME.new) is never followed: its
// target stays as it was. The control: the replacement itself happens.
TEST(FilePosix, ASymlinkAtTheOldFixedNameIsNotFollowed) {
  const std::string folder = fresh_folder("planted");
  const std::string target = folder + "/victim";
  std::ofstream(target) << "precious\n";
  for (const char* name : {"mappings", "status.json"}) {
    const std::string path = folder + "/" + name;
    ASSERT_EQ(symlink(target.c_str(), (path + ".new").c_str()), 0);
    ASSERT_TRUE(file_replace(path, "new text\n"));
    EXPECT_EQ(text_of(path), "new text\n");  // control
    EXPECT_EQ(text_of(target), "precious\n") << name;
  }
}

// Whatever name the new file gets, one that exists is never opened: a symlink (to a file
// or to nowhere) or a file. The control: a free name is made, private.
struct Planted {
  const char* what;
  const char* make;  // shell words that make `$P` (the name) in the folder
  bool made;
};

class NewFileName : public ::testing::TestWithParam<Planted> {};

TEST_P(NewFileName, IsNeverOneThatExists) {
  const std::string folder = fresh_folder(std::string("name-") + GetParam().what);
  const std::string target = folder + "/victim";
  std::ofstream(target) << "precious\n";
  const std::string name = folder + "/mappings.new-0011223344556677";
  ASSERT_EQ(std::system(("cd '" + folder + "' && P='" + name + "' && " + GetParam().make).c_str()),
            0);
  const long long handle = fs_create_new(name);
  EXPECT_EQ(handle >= 0, GetParam().made);
  if (handle >= 0) {
    EXPECT_TRUE(fs_sync_close(handle, true));
  }
  EXPECT_EQ(text_of(target), "precious\n");
}

INSTANTIATE_TEST_SUITE_P(Planted, NewFileName,
                         ::testing::Values(Planted{"free", "true", true},
                                           Planted{"symlink", "ln -s victim \"$P\"", false},
                                           Planted{"dangling", "ln -s nowhere \"$P\"", false},
                                           Planted{"file", "echo x > \"$P\"", false}),
                         [](const ::testing::TestParamInfo<Planted>& info) {
                           return std::string(info.param.what);
                         });

// A folder another user may write is refused, saying why; the control: 0700 and 0755.
struct Folder {
  const char* what;
  unsigned mode;
  bool other_owner;
  const char* said;  // in the reason; nullptr: accepted
};

class StateFolder : public ::testing::TestWithParam<Folder> {};

TEST_P(StateFolder, IsRefusedWhenAnotherUserCouldWriteIt) {
  const std::string folder = fresh_folder(std::string("folder-") + GetParam().what);
  ASSERT_EQ(chmod(folder.c_str(), GetParam().mode), 0);
  if (GetParam().other_owner) {
    if (geteuid() != 0) GTEST_SKIP() << "only root gives a folder away";
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  }
  std::string problem;
  EXPECT_EQ(folder_make_private(folder, &problem), GetParam().said == nullptr) << problem;
  if (GetParam().said != nullptr) {
    EXPECT_NE(problem.find(GetParam().said), std::string::npos) << problem;
    EXPECT_NE(problem.find(folder), std::string::npos) << problem;
  }
}

INSTANTIATE_TEST_SUITE_P(Owner, StateFolder,
                         ::testing::Values(Folder{"private", 0700, false, nullptr},
                                           Folder{"readable", 0755, false, nullptr},
                                           Folder{"group", 0770, false, "mode 0770"},
                                           Folder{"other", 0703, false, "mode 0703"},
                                           Folder{"sticky", 01777, false, "mode 1777"},
                                           Folder{"owner", 0700, true, "owned by uid 65534"}),
                         [](const ::testing::TestParamInfo<Folder>& info) {
                           return std::string(info.param.what);
                         });

TEST(FilePosix, AMissingStateFolderIsMadePrivate) {
  const std::string parent = fresh_folder("made");
  const std::string folder = parent + "/a/portwrangler";
  std::string problem;
  ASSERT_TRUE(folder_make_private(folder, &problem)) << problem;
  struct stat status {};
  ASSERT_EQ(stat(folder.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  EXPECT_FALSE(is_there(folder + "/lock"));
}

}  // namespace
