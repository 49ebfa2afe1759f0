// Files replaced whole, and only where a file of the program may stand: each kind of target a
// path can name, what the replacement says, and what every file holds afterwards.
#include "common/safe_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace serivane {
namespace {

namespace fs = std::filesystem;

class SafeFileTest : public ::testing::Test {
 protected:
  SafeFileTest() {
    std::string pattern = (fs::temp_directory_path() / "serivane-safe-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
  }
  ~SafeFileTest() override { fs::remove_all(root_); }

  std::string Path(const std::string& name) const { return (root_ / name).string(); }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
  }
  std::string Read(const std::string& name) const {
    std::ostringstream s;
    s << std::ifstream(Path(name), std::ios::binary).rdbuf();
    return s.str();
  }
  // Every name in the folder tree, so that a temporary file left behind shows.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root_))
      names.push_back(e.path().lexically_relative(root_).string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root_;
};

constexpr std::string_view kOwn = "{\"mine\"";

TEST_F(SafeFileTest, ReplacesOnlyWhatMayBeReplacedAndLeavesEverythingElseAsItWas) {
  const bool root = ::geteuid() == 0;
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);  // must not be waited on
  fs::create_directory(Path("folder"));
  Write("empty", "");
  Write("earlier", std::string(kOwn) + " old}");
  Write("notes", "somebody's notes\n");
  Write("target", "my notes\n");
  ASSERT_EQ(::symlink("earlier", Path("mylink").c_str()), 0);
  fs::create_directory(Path("shared"));
  ASSERT_EQ(::chmod(Path("shared").c_str(), 01777), 0);
  ASSERT_EQ(::symlink("../target", Path("shared/planted").c_str()), 0);
  // Only the superuser can plant a link owned by somebody else.
  if (root) {
    ASSERT_EQ(::lchown(Path("shared/planted").c_str(), 12345, 12345), 0);
  }
  ASSERT_EQ(::symlink("../empty", Path("shared/own").c_str()), 0);

  struct Case {
    std::string name;
    std::string reason;  // "" replaced; else part of the reason given
  };
  std::vector<Case> cases = {
      {"new", ""},
      {"empty", ""},
      {"earlier", ""},
      {"mylink", ""},  // the user's own link: its target is replaced, the link stays
      {"shared/own", ""},
      {"notes", "not a file this program wrote"},
      {"fifo", "not a regular file"},
      {"folder", "not a regular file"},
      {"missing/new", "the folder"},
  };
  if (root)
    cases.push_back({"shared/planted", "a link that another user put in the shared folder"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string why = ReplaceFile(Path(c.name), kOwn, std::string(kOwn) + " new}");
    if (c.reason.empty()) {
      EXPECT_EQ(why, "");
    } else {
      EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
  }
  // Devices are judged before any open.
  EXPECT_EQ(ReplaceFile("/dev/null", kOwn, "x"), "it is not a regular file");

  const std::string fresh = std::string(kOwn) + " new}";
  EXPECT_EQ(Read("new"), fresh);
  EXPECT_EQ(Read("empty"), fresh);
  EXPECT_EQ(Read("earlier"), fresh);
  EXPECT_TRUE(fs::is_symlink(Path("mylink")));
  EXPECT_EQ(Read("notes"), "somebody's notes\n");
  EXPECT_EQ(Read("target"), "my notes\n");
  EXPECT_TRUE(fs::is_fifo(Path("fifo")));
  EXPECT_TRUE(fs::is_empty(Path("folder")));
  const std::vector<std::string> expected = {
      "earlier", "empty",  "fifo",       "folder",         "mylink", "new",
      "notes",   "shared", "shared/own", "shared/planted", "target"};
  EXPECT_EQ(Names(), expected);
}

// A replaced file keeps its permissions; without an own start any regular file may be replaced.
TEST_F(SafeFileTest, KeepsPermissionsAndReplacesAnyRegularFileWhenNoStartIsAsked) {
  Write("private", "anything");
  ASSERT_EQ(::chmod(Path("private").c_str(), 0640), 0);
  EXPECT_EQ(ReplaceFile(Path("private"), "", "replaced"), "");
  EXPECT_EQ(Read("private"), "replaced");
  struct stat st {};
  ASSERT_EQ(::stat(Path("private").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A write that fails (a size limit stands in for a full disk) leaves the old file whole and no
// temporary file beside it.
TEST_F(SafeFileTest, AFailedWriteLeavesTheOldFileWhole) {
  const std::string old = std::string(kOwn) + " the previous report}";
  Write("report", old);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{4, saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &limit);
  const std::string why = ReplaceFile(Path("report"), kOwn, std::string(kOwn) + " new and long}");
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(why, "File too large");
  EXPECT_EQ(Read("report"), old);
  EXPECT_EQ(Names(), std::vector<std::string>{"report"});
}

}  // namespace
}  // namespace serivane
