#include "app/cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "bitmap/bitmap.h"
#include "io/lumenax_io.h"
#include "tests/support/test_support.h"

namespace veltrano {
namespace {

namespace fs = std::filesystem;
using lumenax::test::RunCommand;
using lumenax::test::ShellQuote;
using lumenax::test::TempDir;

const std::string kPython = "/usr/bin/python3";

std::string Script() {
  return (lumenax::test::SourceDir() / "app/tests/pil_images.py").string();
}

struct ToolRun {
  int status = -1;
  std::string out, err;
};

ToolRun RunTool(const std::string& args) {
  TempDir scratch;
  ToolRun r;
  std::string cmd =
      ShellQuote(VELTRANO_CLI_PATH) + " " + args + " 2>" + ShellQuote((scratch / "err").string());
  r.status = RunCommand(cmd, &r.out);
  auto e = lumenax::test::ReadFileBytes(scratch / "err");
  r.err.assign(e.begin(), e.end());
  return r;
}

bool SamePixels(const fs::path& a, const fs::path& b, std::string* why = nullptr) {
  return RunCommand(kPython + " " + ShellQuote(Script()) + " same " + ShellQuote(a.string()) + " " +
                        ShellQuote(b.string()),
                    why) == 0;
}

TEST(CliArguments, UsageErrorsHelpAndVersion) {
  EXPECT_EQ(RunTool("").status, kExitUsage);
  ToolRun bad = RunTool("-x file.png");
  EXPECT_EQ(bad.status, kExitUsage);
  EXPECT_NE(bad.err.find("unknown option '-x'"), std::string::npos) << bad.err;
  EXPECT_EQ(RunTool("-j 0 a.png").status, kExitUsage);
  EXPECT_EQ(RunTool("a.png -j").status, kExitUsage);
  EXPECT_EQ(RunTool("--files-from").status, kExitUsage);
  EXPECT_EQ(RunTool("--report=").status, kExitUsage);
  ToolRun noList = RunTool("--files-from /nonexistent/list");
  EXPECT_EQ(noList.status, kExitUsage);
  EXPECT_NE(noList.err.find("cannot read the list '/nonexistent/list'"), std::string::npos);
  EXPECT_EQ(RunTool("--files-from - --files-from - </dev/null").status, kExitUsage);
  EXPECT_EQ(RunTool("--report /nonexistent/r.jsonl a.png").status, kExitUsage);
  // An empty list converts nothing and succeeds.
  ToolRun empty = RunTool("-0 --files-from - --report - </dev/null");
  EXPECT_EQ(empty.status, kExitOk);
  EXPECT_EQ(empty.out.rfind("{\"summary\":true,\"files\":0,", 0), 0u) << empty.out;
  ToolRun help = RunTool("--help");
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_NE(help.out.find("Usage: veltrano-cli"), std::string::npos);
  ToolRun version = RunTool("--version");
  EXPECT_EQ(version.status, kExitOk);
  EXPECT_EQ(version.out.rfind("veltrano-cli ", 0), 0u);
}

TEST(CliExpansion, FoldersGiveTheirBmpAndPngFilesSorted) {
  TempDir dir;
  fs::create_directories(dir / "sub");
  for (const char* n : {"b.PNG", "a.bmp", "c.jpg", "sub/d.png"})
    lumenax::test::WriteFileBytes(dir / n, {1});
  auto flat = ExpandPath(dir.path().string(), false);
  EXPECT_EQ(flat, (std::vector<std::string>{(dir / "a.bmp").string(), (dir / "b.PNG").string()}));
  auto deep = ExpandPath(dir.path().string(), true);
  EXPECT_EQ(deep.size(), 3u);
  EXPECT_EQ(ExpandPath((dir / "c.jpg").string(), false),
            (std::vector<std::string>{(dir / "c.jpg").string()}));
}

TEST(CliEndToEnd, MixedFolderWithSeveralWorkers) {
  TempDir dir;
  ASSERT_EQ(
      RunCommand(kPython + " " + ShellQuote(Script()) + " make " + ShellQuote(dir.path().string())),
      0);
  std::string d = dir.path().string();
  ToolRun r = RunTool("-j 2 " + ShellQuote(d) + " " + ShellQuote(d + "/photo.bmp") + " " +
                      ShellQuote(d + "/missing.png"));
  EXPECT_EQ(r.status, kExitFailed) << r.err;
  // Refusals and failures on stderr in list order, with the library's reason. camera.png is
  // a JPEG: it loads and is refused like any other format that is not BMP or PNG.
  EXPECT_EQ(r.err, d + "/camera.png: Invalid file format.\n" + d +
                       "/cut.bmp: Failed to load file. (truncated pixel data at byte 639)\n" + d +
                       "/missing.png: No such file or directory\n");
  EXPECT_NE(r.out.find(d + "/photo.bmp -> " + d + "/photo.png"), std::string::npos) << r.out;

  std::string why;
  EXPECT_TRUE(SamePixels(dir / "photo.bmp", dir / "photo.png", &why)) << why;
  EXPECT_TRUE(SamePixels(dir / "flat.png", dir / "flat.bmp", &why)) << why;
  EXPECT_TRUE(SamePixels(dir / "glass.png", dir / "glass.bmp", &why)) << why;
  EXPECT_TRUE(SamePixels(dir / "icons.png", dir / "icons.bmp", &why)) << why;
  EXPECT_FALSE(fs::exists(dir / "cut.png"));
  EXPECT_FALSE(fs::exists(dir / "camera.bmp"));

  // Converting the results back gives the sources' pixels again.
  ToolRun back =
      RunTool("-q -j1 " + ShellQuote(d + "/glass.bmp") + " " + ShellQuote(d + "/photo.png"));
  EXPECT_EQ(back.status, kExitOk) << back.err;
  EXPECT_TRUE(back.out.empty()) << "-q prints nothing on success";
  EXPECT_TRUE(SamePixels(dir / "glass.png", dir / "glass.bmp", &why)) << why;
}

// ---------------------------------------------------------------- killed runs

using lumenax::test::RgbaImage;

// A noisy picture, so that compressing it takes a while; every third one has alpha.
void MakeNoisyImage(lumenax::TLumenaxIO& io, int index) {
  const int w = 200 + 8 * (index % 5), h = 150;
  io.Bitmap()->Allocate(w, h, lumenax::lx24RGB);
  std::mt19937 noise{unsigned(index)};
  for (int y = 0; y < h; ++y) {
    uint8_t* row = io.Bitmap()->ScanLine(y);
    for (int x = 0; x < w * 3; ++x) row[x] = uint8_t(x + y * index + int(noise() % 16));
  }
  if (index % 3 == 1)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) io.Bitmap()->SetAlphaValue(x, y, uint8_t(x + y));
  io.Params.BmpKeepAlpha = true;
}

// The picture in a file, as the converter reads it; false when it does not decode.
bool Decode(const fs::path& file, RgbaImage& out) {
  lumenax::TLumenaxIO io;
  io.Params.BmpKeepAlpha = true;
  try {
    io.LoadFromFile(file);
  } catch (const std::exception&) {
    return false;
  }
  if (io.Aborting) return false;
  out = lumenax::test::BitmapToRgba(*io.Bitmap());
  return true;
}

// veltrano-cli on a folder, killed with SIGKILL after the delay unless it ended before.
// Returns true when it was killed; elapsed is how long it ran.
bool RunAndKill(const fs::path& folder, std::chrono::microseconds delay, int& status,
                std::chrono::microseconds& elapsed) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = VELTRANO_CLI_PATH, jobs = "-j2", dir = folder.string();
  std::vector<char*> argv = {program.data(), jobs.data(), dir.data(), nullptr};
  pid_t pid = -1;
  const auto start = std::chrono::steady_clock::now();
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << program;
    return false;
  }
  auto since = [&] {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  };
  while (since() < delay) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      elapsed = since();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  elapsed = since();
  return WIFSIGNALED(status);
}

// Killed at random moments, the converter leaves each target absent, as it was, or complete
// with the right pixels, every source as it was, and no temporary file in the folder.
TEST(CliEndToEnd, KilledRunsLeaveOldOrCompleteFilesAndNothingElse) {
  TempDir scratch;
  const fs::path pristine = scratch / "pristine", work = scratch / "work";
  fs::create_directory(pristine);
  struct Entry {
    std::string source, target;
    bool replacesItself = false;  // a BMP named .png, converted onto itself
  };
  std::vector<Entry> entries;
  std::map<std::string, RgbaImage> expected;  // by target name
  for (int i = 0; i < 24; ++i) {
    lumenax::TLumenaxIO io;
    MakeNoisyImage(io, i);
    char stem[16];
    std::snprintf(stem, sizeof stem, "img%02d", i);
    Entry e;
    if (i % 8 == 7) {  // a PNG to convert to BMP
      e = {std::string(stem) + ".png", std::string(stem) + ".bmp"};
      io.SaveToFilePng(pristine / e.source);
    } else if (i % 8 == 3) {
      e = {std::string(stem) + ".png", std::string(stem) + ".png", true};
      io.SaveToFileBmp(pristine / e.source);
    } else {
      e = {std::string(stem) + ".bmp", std::string(stem) + ".png"};
      io.SaveToFileBmp(pristine / e.source);
    }
    ASSERT_FALSE(io.Aborting);
    expected[e.target] = lumenax::test::BitmapToRgba(*io.Bitmap());
    entries.push_back(e);
  }
  std::map<std::string, std::vector<uint8_t>> original;
  for (const Entry& e : entries)
    original[e.source] = lumenax::test::ReadFileBytes(pristine / e.source);

  // Checks the folder after a run; complete: every target must be there.
  auto check = [&](bool complete) {
    std::set<std::string> allowed;
    for (const Entry& e : entries) {
      allowed.insert(e.source);
      allowed.insert(e.target);
      const fs::path target = work / e.target;
      if (!e.replacesItself) {
        EXPECT_EQ(lumenax::test::ReadFileBytes(work / e.source), original[e.source]) << e.source;
      }
      if (!fs::exists(target)) {
        EXPECT_FALSE(complete || e.replacesItself) << e.target << " is missing";
        continue;
      }
      if (e.replacesItself && !complete &&
          lumenax::test::ReadFileBytes(target) == original[e.source])
        continue;  // not converted yet
      RgbaImage got;
      ASSERT_TRUE(Decode(target, got)) << e.target << " does not decode";
      EXPECT_EQ(lumenax::test::CountDifferentPixels(got, expected[e.target]), 0u) << e.target;
    }
    for (const auto& f : fs::directory_iterator(work)) {
      const std::string name = f.path().filename().string();
      if (allowed.count(name)) continue;
      // A file that replaces another is linked under a hidden name and renamed over it at
      // once; a kill between the two leaves that name, on a complete file.
      const Entry* of = nullptr;
      for (const Entry& e : entries)
        if (e.replacesItself && name.size() == e.target.size() + 8 &&
            name.rfind("." + e.target + ".", 0) == 0)
          of = &e;
      RgbaImage got;
      if (of && !complete && Decode(f.path(), got) &&
          lumenax::test::CountDifferentPixels(got, expected[of->target]) == 0)
        continue;
      ADD_FAILURE() << "left behind: " << name;
    }
  };
  auto fresh = [&] {
    fs::remove_all(work);
    fs::copy(pristine, work);
  };

  // One whole run tells how long a run takes.
  fresh();
  int status = 0;
  std::chrono::microseconds whole;
  ASSERT_FALSE(RunAndKill(work, std::chrono::seconds(20), status, whole));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitOk);
  check(true);

  // Eight kills at random moments of a run, within a time budget; a run that ends before its
  // moment (the machine got faster) shortens the runs to come.
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  int killed = 0;
  const auto budget = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int round = 0;
       round < 12 && killed < 8 && !HasFatalFailure() && std::chrono::steady_clock::now() < budget;
       ++round) {
    fresh();
    std::uniform_int_distribution<int64_t> moment(whole.count() / 20, whole.count() * 9 / 10);
    auto delay = std::chrono::microseconds(moment(random));
    std::chrono::microseconds elapsed;
    if (RunAndKill(work, delay, status, elapsed))
      ++killed;
    else
      whole = std::min(whole, elapsed);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", kill after " + std::to_string(delay.count()) +
                 " us of a " + std::to_string(whole.count()) + " us run");
    check(false);
  }
  std::printf("%d runs killed; a whole run takes %lld us (seed %u)\n", killed,
              static_cast<long long>(whole.count()), seed);
  EXPECT_GE(killed, 3) << "most runs should have been cut short";
}

}  // namespace
}  // namespace veltrano
