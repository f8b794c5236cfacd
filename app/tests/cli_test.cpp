#include "app/cli.h"

#include <gtest/gtest.h>

#include <filesystem>

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

TEST(CliExpansion, FilesSharingANameRunInOrder) {
  auto groups = SerialGroups({"/d/a.bmp", "/d/b.png", "/d/a.png", "/d/c.bmp", "/d/b.png"});
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0], (std::vector<size_t>{0, 2}));
  EXPECT_EQ(groups[1], (std::vector<size_t>{1, 4}));
  EXPECT_EQ(groups[2], (std::vector<size_t>{3}));
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
  // Refusals and failures on stderr in list order.
  EXPECT_EQ(r.err, d + "/camera.png: Failed to load file.\n" + d +
                       "/cut.bmp: Failed to load file.\n" + d +
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

}  // namespace
}  // namespace veltrano
