#include "io/replace_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bitmap/errors.h"
#include "bitmap/stream.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

std::vector<std::string> Listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void Write(TLxReplacingFile& file, const std::string& text) {
  file.Stream().WriteBuffer(text.data(), int64_t(text.size()));
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

mode_t Mode(const fs::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : mode_t(-1);
}

// Runs each case with unnamed temporary files and with named ones, as on file systems
// without unnamed files.
class ReplacingFile : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { SetUnnamedReplacingFiles(GetParam()); }
  void TearDown() override { SetUnnamedReplacingFiles(true); }
  // The names in the folder while a save is being written: the unnamed file shows nowhere.
  std::vector<std::string> WhileWriting(const TLxReplacingFile& file,
                                        std::vector<std::string> names) {
    if (!file.Unnamed()) names.push_back(file.TemporaryName().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_P(ReplacingFile, ReplacesOnCommitKeepingModeAndLeavesNothingBehind) {
  TempDir dir;
  WriteFileBytes(dir / "t.png", Bytes("old"));
  ::chmod((dir / "t.png").c_str(), 0640);
  {
    TLxReplacingFile file(dir / "t.png");
    if (GetParam()) {
      EXPECT_TRUE(file.Unnamed()) << "ext4, tmpfs and most local file systems have them";
      EXPECT_TRUE(file.TemporaryName().empty());
    } else {
      EXPECT_FALSE(file.Unnamed());
      EXPECT_EQ(file.TemporaryName().filename().string().rfind(".t.png.", 0), 0u);
      EXPECT_EQ(file.TemporaryName().filename().string().size(), 13u);
    }
    Write(file, "new content");
    EXPECT_EQ(Listing(dir.path()), WhileWriting(file, {"t.png"}));
    EXPECT_EQ(ReadFileBytes(dir / "t.png"), Bytes("old"));
    file.Commit();
    EXPECT_TRUE(file.TemporaryName().empty());
  }
  EXPECT_EQ(ReadFileBytes(dir / "t.png"), Bytes("new content"));
  EXPECT_EQ(Mode(dir / "t.png"), 0640u);
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"t.png"}));

  // A new file, given as a bare name relative to the working folder.
  fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  {
    TLxReplacingFile file("fresh.bmp");
    Write(file, "fresh");
    EXPECT_EQ(Listing(dir.path()), WhileWriting(file, {"t.png"}));
    file.Commit();
  }
  fs::current_path(cwd);
  EXPECT_EQ(ReadFileBytes(dir / "fresh.bmp"), Bytes("fresh"));
  EXPECT_EQ(Mode(dir / "fresh.bmp"), 0666u & ~CurrentUmask());

  // Discarded, destroyed without Commit, or committed twice: no trace and no change.
  {
    TLxReplacingFile file(dir / "t.png");
    Write(file, "discarded");
    file.Discard();
    file.Commit();  // nothing left to commit
  }
  {
    TLxReplacingFile file(dir / "gone.png");
    Write(file, "abandoned");
  }
  EXPECT_EQ(ReadFileBytes(dir / "t.png"), Bytes("new content"));
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"fresh.bmp", "t.png"}));
}

TEST_P(ReplacingFile, LinksAreFollowedToTheFileTheyName) {
  TempDir dir;
  fs::create_directory(dir / "real");
  WriteFileBytes(dir / "real" / "t.bmp", Bytes("old"));
  ::chmod((dir / "real" / "t.bmp").c_str(), 0604);
  fs::create_symlink("real/t.bmp", dir / "link.bmp");
  fs::create_symlink(dir / "link.bmp", dir / "chain.bmp");
  fs::create_symlink("real/new.bmp", dir / "dangling.bmp");
  for (const char* name : {"link.bmp", "chain.bmp", "dangling.bmp"}) {
    TLxReplacingFile file(dir / name);
    Write(file, name);
    // The temporary file sits beside the real file, so that the rename stays in its folder.
    if (!file.Unnamed()) {
      EXPECT_EQ(file.TemporaryName().parent_path(), dir / "real");
    }
    file.Commit();
    EXPECT_TRUE(fs::is_symlink(dir / name));
  }
  EXPECT_EQ(ReadFileBytes(dir / "real" / "t.bmp"), Bytes("chain.bmp"));
  EXPECT_EQ(Mode(dir / "real" / "t.bmp"), 0604u);
  EXPECT_EQ(ReadFileBytes(dir / "real" / "new.bmp"), Bytes("dangling.bmp"));
  EXPECT_EQ(Listing(dir / "real"), (std::vector<std::string>{"new.bmp", "t.bmp"}));
}

TEST_P(ReplacingFile, RefusalsRaiseBeforeAnythingIsWritten) {
  TempDir dir;
  auto expectRefused = [&](const fs::path& target) {
    try {
      TLxReplacingFile file(target);
      ADD_FAILURE() << "no exception for " << target;
    } catch (const EFCreateError& e) {
      std::string expected = "Cannot create file \"" + target.string() + "\". ";
      EXPECT_EQ(std::string(e.what()).substr(0, expected.size()), expected);
    }
  };
  expectRefused(dir / "nowhere" / "t.png");
  if (::geteuid() != 0) {
    fs::create_directory(dir / "ro");
    WriteFileBytes(dir / "ro" / "t.png", Bytes("old"));
    ::chmod((dir / "ro").c_str(), 0555);
    expectRefused(dir / "ro" / "t.png");
    expectRefused(dir / "ro" / "new.png");
    ::chmod((dir / "ro").c_str(), 0755);
    EXPECT_EQ(Listing(dir / "ro"), (std::vector<std::string>{"t.png"}));
    WriteFileBytes(dir / "locked.png", Bytes("old"));
    ::chmod((dir / "locked.png").c_str(), 0444);
    expectRefused(dir / "locked.png");
    EXPECT_EQ(ReadFileBytes(dir / "locked.png"), Bytes("old"));
  }
  // A folder of the target's name refuses the save as it starts; one made meanwhile fails the
  // commit. Neither leaves anything behind.
  fs::create_directory(dir / "folder.png");
  expectRefused(dir / "folder.png");
  {
    TLxReplacingFile file(dir / "late.png");
    Write(file, "x");
    fs::create_directory(dir / "late.png");
    EXPECT_THROW(file.Commit(), EFCreateError);
  }
  EXPECT_TRUE(fs::is_directory(dir / "folder.png"));
  EXPECT_TRUE(fs::is_empty(dir / "late.png"));
  EXPECT_EQ(Listing(dir.path()).size(), ::geteuid() != 0 ? 4u : 2u);
}

TEST_P(ReplacingFile, AWriteOnlyFolderStillTakesTheSave) {
  // Such a folder cannot be opened to be flushed; the save goes through without that.
  if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root";
  TempDir dir;
  fs::create_directory(dir / "drop");
  ::chmod((dir / "drop").c_str(), 0333);
  {
    TLxReplacingFile file(dir / "drop" / "t.png");
    Write(file, "dropped");
    file.Commit();
  }
  ::chmod((dir / "drop").c_str(), 0755);
  EXPECT_EQ(ReadFileBytes(dir / "drop" / "t.png"), Bytes("dropped"));
  EXPECT_EQ(Listing(dir / "drop"), (std::vector<std::string>{"t.png"}));
}

// Files committed in a group stay out of sight until the group is flushed; then each is in
// place in the order committed, and a file whose folder went away fails alone.
TEST_P(ReplacingFile, GroupCommitsWaitForTheFlushAndFailOneByOne) {
  TempDir dir;
  fs::create_directories(dir / "gone");
  WriteFileBytes(dir / "b", Bytes("old b"));
  TLxCommitGroup group;
  {
    TLxCommitGroup::Scope scope(group);
    for (const char* name : {"a", "b", "gone/c", "a"}) {
      TLxReplacingFile file(dir / name);
      Write(file, std::string("new ") + name + (group.Pending() == 3 ? " again" : ""));
      file.Commit();
    }
  }
  EXPECT_EQ(group.Pending(), 4u);
  EXPECT_FALSE(fs::exists(dir / "a"));
  EXPECT_EQ(ReadFileBytes(dir / "b"), Bytes("old b"));
  fs::remove_all(dir / "gone");
  // Outside the scope a commit is immediate again.
  {
    TLxReplacingFile file(dir / "d");
    Write(file, "d");
    file.Commit();
    EXPECT_TRUE(fs::exists(dir / "d"));
  }
  std::vector<std::exception_ptr> errors = group.Flush();
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_FALSE(errors[0] || errors[1] || errors[3]);
  ASSERT_TRUE(errors[2]);
  try {
    std::rethrow_exception(errors[2]);
  } catch (const EFCreateError& e) {
    EXPECT_NE(std::string(e.what()).find("gone/c"), std::string::npos) << e.what();
  }
  EXPECT_EQ(group.Pending(), 0u);
  EXPECT_EQ(ReadFileBytes(dir / "a"), Bytes("new a again"));
  EXPECT_EQ(ReadFileBytes(dir / "b"), Bytes("new b"));
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"a", "b", "d"}));

  // A group dropped unflushed leaves the targets as they were and nothing behind.
  {
    TLxCommitGroup dropped;
    TLxCommitGroup::Scope scope(dropped);
    TLxReplacingFile file(dir / "b");
    Write(file, "lost");
    file.Commit();
  }
  EXPECT_EQ(ReadFileBytes(dir / "b"), Bytes("new b"));
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"a", "b", "d"}));
}

INSTANTIATE_TEST_SUITE_P(UnnamedAndNamed, ReplacingFile, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Unnamed" : "Named"; });

}  // namespace
}  // namespace lumenax
