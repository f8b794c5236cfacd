// The PNG Suite through the whole program: `lumenax dump` (format detection, the I/O
// component's PNG entry point, the reader) gives the expected pixels of every valid file and
// refuses every corrupt one.
#include <gtest/gtest.h>

#include "codecs/png/tests/png_test_util.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

namespace fs = std::filesystem;

TEST(PngSuiteDump, EveryFileThroughTheCommandLineTool) {
  if (test::PngSuiteDir().empty()) GTEST_SKIP() << "corpus not found (../shared/corpus)";
  test::TempDir dir;
  const std::string tool = LX_CLI_PATH;
  int valid = 0, corrupt = 0;
  for (auto& f : test::PngSuiteFiles(false)) {
    SCOPED_TRACE(f.filename().string());
    fs::path pam = dir / (f.stem().string() + ".pam");
    ASSERT_EQ(test::RunCommand(test::ShellQuote(tool) + " dump " + test::ShellQuote(f.string()) +
                               " " + test::ShellQuote(pam.string())),
              0);
    test::RgbaImage got;
    ASSERT_TRUE(test::ReadPamRgba(pam, got));
    std::vector<int> want = test::PngSuiteExpected(f.stem().string(), nullptr);
    ASSERT_EQ(got.rgba.size(), want.size());
    size_t differ = 0;
    for (size_t i = 0; i < want.size(); ++i) differ += want[i] != got.rgba[i];
    EXPECT_EQ(differ, 0u);
    ++valid;
  }
  for (auto& f : test::PngSuiteFiles(true)) {
    SCOPED_TRACE(f.filename().string());
    fs::path pam = dir / "corrupt.pam";
    EXPECT_EQ(test::RunCommand(test::ShellQuote(tool) + " dump " + test::ShellQuote(f.string()) +
                               " " + test::ShellQuote(pam.string()) + " 2>/dev/null"),
              1);
    EXPECT_FALSE(fs::exists(pam));
    ++corrupt;
  }
  EXPECT_EQ(valid, 161);
  EXPECT_EQ(corrupt, 14);
}

}  // namespace
}  // namespace lumenax
