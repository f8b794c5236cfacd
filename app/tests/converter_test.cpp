#include "app/converter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "bitmap/bitmap.h"
#include "io/lumenax_io.h"
#include "io/startup.h"
#include "tests/support/test_support.h"

namespace veltrano {
namespace {

namespace fs = std::filesystem;
using lumenax::test::TempDir;

// Answers the dialog from a script and records the list and every message.
class FakePlatform : public ConverterPlatform {
 public:
  bool dialogAnswer = true;
  std::vector<std::string> dialogNames;
  std::string dialogFilter;
  uint32_t dialogOptions = 0;
  std::vector<std::string> list;
  std::vector<std::string> messages;
  std::vector<std::string> captions;
  int cancelAfter = -1;  // StepProgress answers false from this many files on
  std::vector<int> steps;

  bool OpenDialog(const std::string& filter, uint32_t options,
                  std::vector<std::string>& names) override {
    dialogFilter = filter;
    dialogOptions = options;
    names = dialogNames;
    return dialogAnswer;
  }
  void ListAppend(const std::string& name) override { list.push_back(name); }
  void ListClear() override { list.clear(); }
  std::vector<std::string> ListItems() override { return list; }
  void MessageBox(const std::string& text, const std::string& caption) override {
    messages.push_back(text);
    captions.push_back(caption);
  }
  bool StepProgress(int done) override {
    steps.push_back(done);
    return cancelAfter < 0 || done < cancelAfter;
  }
};

// A small image with an alpha channel, saved in the given format.
void MakeImage(const fs::path& p, bool png, int w = 5, int h = 4) {
  lumenax::TLumenaxIO io;
  io.Bitmap()->Allocate(w, h, lumenax::lx24RGB);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      io.Bitmap()->SetPixelsRGB24(x, y, lumenax::CreateRGB(uint8_t(40 * x), uint8_t(50 * y), 99));
      io.Bitmap()->SetAlphaValue(x, y, uint8_t(x == 0 ? 0 : 255 - 10 * y));
    }
  io.Params.BmpKeepAlpha = true;
  if (png)
    io.SaveToFilePng(p);
  else
    io.SaveToFileBmp(p);
  ASSERT_FALSE(io.Aborting) << p;
}

lumenax::FileType TypeOf(const fs::path& p) {
  return lumenax::DetectFileFormat(p, false);
}

void WriteText(const fs::path& p, const std::string& s) {
  lumenax::test::WriteFileBytes(p, std::vector<uint8_t>(s.begin(), s.end()));
}

// An AVI header: detected, but no reader takes it.
void MakeAvi(const fs::path& p) {
  WriteText(p, std::string("RIFF\x10\0\0\0AVI LIST", 16) + std::string(64, '\0'));
}

class ConverterTest : public ::testing::Test {
 protected:
  void SetUp() override { lumenax::LumenaxStartup(); }
  TempDir dir;
  FakePlatform platform;
  ConverterCommands commands{platform};
};

TEST(ChangeFileExtTest, ReplacesOnlyTheFinalComponentsExtension) {
  EXPECT_EQ(ChangeFileExt("/a/b/pic.bmp", ".png"), "/a/b/pic.png");
  EXPECT_EQ(ChangeFileExt("/a/b/pic.tar.bmp", ".png"), "/a/b/pic.tar.png");
  EXPECT_EQ(ChangeFileExt("/a/b/pic", ".png"), "/a/b/pic.png");
  EXPECT_EQ(ChangeFileExt("/a.d/b.e/pic", ".bmp"), "/a.d/b.e/pic.bmp");
  EXPECT_EQ(ChangeFileExt("pic.", ".png"), "pic.png");
  EXPECT_EQ(ChangeFileExt("pic", ".png"), "pic.png");
}

TEST_F(ConverterTest, AddListsBmpAndPngAndRefusesTheRest) {
  MakeImage(dir / "a.bmp", false);
  MakeImage(dir / "b.png", true);
  WriteText(dir / "notes.txt", "hello, this is not an image at all");
  MakeAvi(dir / "clip.png");
  platform.dialogNames = {(dir / "a.bmp").string(),     (dir / "gone.bmp").string(),
                          (dir / "notes.txt").string(), (dir / "b.png").string(),
                          (dir / "clip.png").string(),  (dir / "a.bmp").string()};
  commands.btnAddClick();
  EXPECT_EQ(platform.dialogFilter, kOpenFilter);
  EXPECT_EQ(platform.dialogOptions, kOpenOptions);
  EXPECT_EQ(platform.list,
            (std::vector<std::string>{(dir / "a.bmp").string(), (dir / "b.png").string(),
                                      (dir / "a.bmp").string()}))
      << "duplicates are listed twice; missing files are skipped";
  EXPECT_EQ(platform.messages, (std::vector<std::string>{kFailedToLoad, kInvalidFormat}));
  for (const auto& c : platform.captions) EXPECT_EQ(c, "Veltrano");
}

TEST_F(ConverterTest, CancelledDialogAddsNothing) {
  MakeImage(dir / "a.bmp", false);
  platform.dialogAnswer = false;
  platform.dialogNames = {(dir / "a.bmp").string()};
  commands.btnAddClick();
  EXPECT_TRUE(platform.list.empty());
  EXPECT_TRUE(platform.messages.empty());
}

TEST_F(ConverterTest, ConvertWritesEachFileInTheOtherFormatKeepingAlpha) {
  MakeImage(dir / "a.bmp", false);
  MakeImage(dir / "b.png", true);
  platform.list = {(dir / "a.bmp").string(), (dir / "b.png").string()};
  commands.btnConvertClick();
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_EQ(TypeOf(dir / "a.png"), lumenax::ftPng);
  EXPECT_EQ(TypeOf(dir / "b.bmp"), lumenax::ftBmp);
  EXPECT_EQ(platform.list.size(), 2u) << "the list is left as it was";
  EXPECT_EQ(platform.steps, (std::vector<int>{1, 2}));

  // The alpha channel survived both ways.
  for (const char* name : {"a.png", "b.bmp"}) {
    lumenax::TLumenaxIO io;
    io.Params.BmpKeepAlpha = true;
    io.LoadFromFile(dir / name);
    ASSERT_FALSE(io.Aborting) << name;
    ASSERT_TRUE(io.Bitmap()->HasAlphaChannel()) << name;
    EXPECT_EQ(io.Bitmap()->GetAlphaValue(0, 0), 0) << name;
    EXPECT_EQ(io.Bitmap()->GetAlphaValue(3, 2), 235) << name;
    EXPECT_EQ(io.Bitmap()->PixelsRGB24(2, 3), lumenax::CreateRGB(80, 150, 99)) << name;
  }
}

TEST_F(ConverterTest, ConvertEmptyListDoesNothing) {
  commands.btnConvertClick();
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_TRUE(platform.steps.empty());
}

TEST_F(ConverterTest, MisnamedFilesAreConvertedByContentOntoThemselves) {
  MakeImage(dir / "really-bmp.png", false);
  MakeImage(dir / "really-png.bmp", true);
  platform.list = {(dir / "really-bmp.png").string(), (dir / "really-png.bmp").string()};
  commands.btnConvertClick();
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_EQ(TypeOf(dir / "really-bmp.png"), lumenax::ftPng) << "the source was replaced";
  EXPECT_EQ(TypeOf(dir / "really-png.bmp"), lumenax::ftBmp);
}

TEST_F(ConverterTest, NamesWithoutExtensionAndDottedFolders) {
  fs::create_directories(dir / "my.photos");
  MakeImage(dir / "my.photos" / "holiday", false);
  platform.list = {(dir / "my.photos" / "holiday").string()};
  commands.btnConvertClick();
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_EQ(TypeOf(dir / "my.photos" / "holiday.png"), lumenax::ftPng);
  EXPECT_FALSE(fs::exists(dir / "my.png"));
}

TEST_F(ConverterTest, ExistingTargetIsReplacedAndDuplicatesWriteTwice) {
  MakeImage(dir / "a.bmp", false, 7, 3);
  WriteText(dir / "a.png", "old target");
  platform.list = {(dir / "a.bmp").string(), (dir / "a.bmp").string()};
  commands.btnConvertClick();
  EXPECT_TRUE(platform.messages.empty());
  lumenax::TLumenaxIO io;
  io.LoadFromFile(dir / "a.png");
  EXPECT_FALSE(io.Aborting);
  EXPECT_EQ(io.Bitmap()->Width(), 7);
}

TEST_F(ConverterTest, FilesChangedBetweenAddAndConvert) {
  MakeImage(dir / "gone.bmp", false);
  MakeImage(dir / "swapped.bmp", false);
  MakeImage(dir / "broken.png", true);
  platform.dialogNames = {(dir / "gone.bmp").string(), (dir / "swapped.bmp").string(),
                          (dir / "broken.png").string()};
  commands.btnAddClick();
  ASSERT_EQ(platform.list.size(), 3u);
  fs::remove(dir / "gone.bmp");
  MakeAvi(dir / "swapped.bmp");
  auto bytes = lumenax::test::ReadFileBytes(dir / "broken.png");
  bytes.resize(bytes.size() / 2);
  lumenax::test::WriteFileBytes(dir / "broken.png", bytes);
  commands.btnConvertClick();
  EXPECT_EQ(platform.messages, (std::vector<std::string>{kIncorrectFormat, kFailedToLoad}));
  EXPECT_FALSE(fs::exists(dir / "gone.png"));
  EXPECT_FALSE(fs::exists(dir / "swapped.png")) << "left untouched";
  EXPECT_FALSE(fs::exists(dir / "broken.bmp"));
}

TEST_F(ConverterTest, AnExceptionEndsTheCommand) {
  MakeImage(dir / "a.bmp", false);
  MakeImage(dir / "b.bmp", false);
  fs::create_directories(dir / "a.png");  // the target cannot be created
  platform.list = {(dir / "a.bmp").string(), (dir / "b.bmp").string()};
  commands.SetWorkers(1);  // with more, b.bmp may already be in flight, and then finishes
  EXPECT_ANY_THROW(commands.btnConvertClick());
  EXPECT_FALSE(fs::exists(dir / "b.png")) << "later files are not processed";
  EXPECT_TRUE(fs::is_directory(dir / "a.png"));
}

TEST_F(ConverterTest, AnExceptionEndsTheCommandOnSeveralWorkers) {
  // The folder in the way is found as its file starts, before any file after it could: the
  // messages of the files before it come first, and the command stops within the files in
  // flight.
  WriteText(dir / "broken.bmp", "BM but nothing more");
  MakeImage(dir / "a.bmp", false);
  MakeImage(dir / "c.bmp", false);
  fs::create_directories(dir / "c.png");
  platform.list = {(dir / "broken.bmp").string(), (dir / "a.bmp").string(),
                   (dir / "c.bmp").string()};
  for (int i = 3; i < 20; ++i) {
    MakeImage(dir / ("f" + std::to_string(i) + ".bmp"), false);
    platform.list.push_back((dir / ("f" + std::to_string(i) + ".bmp")).string());
  }
  commands.SetWorkers(2);
  EXPECT_ANY_THROW(commands.btnConvertClick());
  EXPECT_EQ(platform.messages, (std::vector<std::string>{kFailedToLoad}));
  EXPECT_TRUE(fs::exists(dir / "a.png"));
  EXPECT_TRUE(fs::is_directory(dir / "c.png"));
  for (int i = 12; i < 20; ++i) EXPECT_FALSE(fs::exists(dir / ("f" + std::to_string(i) + ".png")));
}

TEST_F(ConverterTest, CancelStopsAfterTheFilesInFlight) {
  std::vector<std::string> list;
  for (int i = 0; i < 24; ++i) {
    MakeImage(dir / ("f" + std::to_string(i) + ".bmp"), false);
    list.push_back((dir / ("f" + std::to_string(i) + ".bmp")).string());
  }
  platform.cancelAfter = 1;
  platform.list = list;
  commands.SetWorkers(1);
  commands.btnConvertClick();
  // The first file, and at most the eight a worker may run ahead of the progress count.
  int written = 0;
  for (int i = 0; i < 24; ++i) written += fs::exists(dir / ("f" + std::to_string(i) + ".png"));
  EXPECT_TRUE(fs::exists(dir / "f0.png"));
  EXPECT_LE(written, 9);
  EXPECT_EQ(platform.steps.front(), 1);
}

// A writer that fails (here: the file-size limit stops its writes) reports "Failed to save
// file." and leaves the existing target as it was.
TEST_F(ConverterTest, FailedSaveIsReportedAndKeepsTheOldTarget) {
  MakeImage(dir / "big.png", true, 300, 300);
  WriteText(dir / "big.bmp", "precious old file");
  platform.list = {(dir / "big.png").string()};
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &small);
  commands.btnConvertClick();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(platform.messages, (std::vector<std::string>{kFailedToSave}));
  auto bytes = lumenax::test::ReadFileBytes(dir / "big.bmp");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "precious old file");
  for (auto& e : fs::directory_iterator(dir.path()))
    EXPECT_TRUE(e.path().filename() == "big.png" || e.path().filename() == "big.bmp")
        << "no temporary file is left behind: " << e.path();
}

TEST_F(ConverterTest, DroppedFilesAreAddedLikeTheAddCommand) {
  MakeImage(dir / "a.png", true);
  WriteText(dir / "x.txt", "text");
  commands.AddFiles({(dir / "a.png").string(), (dir / "x.txt").string()});
  EXPECT_EQ(platform.list, (std::vector<std::string>{(dir / "a.png").string()}));
  EXPECT_EQ(platform.messages, (std::vector<std::string>{kFailedToLoad}));
  commands.btnClearClick();
  EXPECT_TRUE(platform.list.empty());
}

}  // namespace
}  // namespace veltrano
