#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFontInfo>
#include <QTimer>
#include <filesystem>

#include "app/main_window.h"
#include "io/lumenax_io.h"
#include "io/startup.h"
#include "tests/support/test_support.h"

namespace veltrano {
namespace {

namespace fs = std::filesystem;

// The window's own platform with the dialog and the message boxes scripted.
class ScriptedPlatform : public QtPlatform {
 public:
  using QtPlatform::QtPlatform;
  std::vector<std::string> answer;
  std::vector<std::string> messages;
  bool OpenDialog(const std::string&, uint32_t, std::vector<std::string>& names) override {
    names = answer;
    return !answer.empty();
  }
  void MessageBox(const std::string& text, const std::string& caption) override {
    EXPECT_EQ(caption, "Veltrano");
    messages.push_back(text);
  }
};

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    App();
    lumenax::LumenaxStartup();
  }
  // One application object for the whole run.
  static QApplication& App() {
    static int argc = 1;
    static char name[] = "window_test";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
    return app;
  }
  WindowTest()
      : window([this](TfrmMain& w) {
          auto p = std::make_unique<ScriptedPlatform>(w);
          platform = p.get();
          return p;
        }) {}
  ScriptedPlatform* platform = nullptr;
  TfrmMain window;
};

TEST_F(WindowTest, ControlsGeometryTextsAndTabOrder) {
  EXPECT_EQ(window.windowTitle(), "Veltrano");
  EXPECT_EQ(window.size(), QSize(451, 420));
  EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "fixed size";
  EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_EQ(window.lblFiles.geometry(), QRect(8, 8, 78, 13));
  EXPECT_EQ(window.lbxFiles.geometry(), QRect(8, 27, 435, 354));
  EXPECT_EQ(window.btnAdd.geometry(), QRect(8, 387, 75, 25));
  EXPECT_EQ(window.btnConvert.geometry(), QRect(368, 387, 75, 25));
  EXPECT_EQ(window.btnClear.geometry(), QRect(89, 387, 75, 25));
  EXPECT_EQ(window.lblFiles.text(), QString::fromUtf8("要替换的文件:"));
  EXPECT_EQ(window.btnAdd.text(), QString::fromUtf8("添加"));
  EXPECT_EQ(window.btnConvert.text(), QString::fromUtf8("转换"));
  EXPECT_EQ(window.btnClear.text(), QString::fromUtf8("删除"));
  // Tab order: the controls as the focus chain meets them, starting at the list.
  std::vector<QWidget*> order;
  QWidget* w = &window.lbxFiles;
  do {
    if (w == &window.lbxFiles || w == &window.btnAdd || w == &window.btnConvert ||
        w == &window.btnClear)
      order.push_back(w);
    w = w->nextInFocusChain();
  } while (w != &window.lbxFiles && order.size() < 10);
  EXPECT_EQ(order, (std::vector<QWidget*>{&window.lbxFiles, &window.btnAdd, &window.btnConvert,
                                          &window.btnClear}));
  EXPECT_EQ(window.lblFiles.focusPolicy(), Qt::NoFocus);
  QFontInfo font(window.font());
  EXPECT_TRUE(font.family() == "Tahoma" || font.family().contains("WenQuanYi"))
      << font.family().toStdString();
  EXPECT_EQ(window.font().pixelSize(), 11);
}

TEST_F(WindowTest, OpenDialogSettings) {
  QFileDialog dialog;
  ConfigureOpenDialog(dialog, kOpenFilter, kOpenOptions);
  EXPECT_EQ(dialog.nameFilters(), (QStringList{"Target formats (*.bmp *.png)",
                                               "Bitmap images (*.bmp)", "PNG images (*.png)"}));
  EXPECT_EQ(dialog.selectedNameFilter(), "Target formats (*.bmp *.png)");
  EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFiles);
  EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_TRUE(dialog.filter() & QDir::Hidden);
  EXPECT_TRUE(dialog.isSizeGripEnabled());
}

TEST_F(WindowTest, AddClearAndConvertOnRealFiles) {
  lumenax::test::TempDir dir;
  {
    lumenax::TLumenaxIO io;
    io.Bitmap()->Allocate(9, 6, lumenax::lx24RGB);
    io.Bitmap()->Fill(0x3366CC);
    io.Bitmap()->SetAlphaValue(1, 1, 7);
    io.Params.BmpKeepAlpha = true;
    io.SaveToFileBmp(dir / "a.bmp");
    io.SaveToFilePng(dir / "b.png");
  }
  lumenax::test::WriteFileBytes(dir / "c.txt", {'x'});
  platform->answer = {(dir / "a.bmp").string(), (dir / "b.png").string(), (dir / "c.txt").string()};
  window.btnAdd.click();
  ASSERT_EQ(window.lbxFiles.count(), 2);
  EXPECT_EQ(window.lbxFiles.item(1)->text().toStdString(), (dir / "b.png").string());
  EXPECT_EQ(platform->messages, (std::vector<std::string>{"Failed to load file."}));

  window.show();
  QApplication::processEvents();
  fs::path shot = fs::path(VELTRANO_BUILD_DIR) / "veltrano-window.png";
  EXPECT_TRUE(window.grab().save(QString::fromStdString(shot.string())));

  platform->messages.clear();
  window.btnConvert.click();
  EXPECT_TRUE(platform->messages.empty());
  EXPECT_EQ(lumenax::DetectFileFormat(dir / "a.png", false), lumenax::ftPng);
  EXPECT_EQ(lumenax::DetectFileFormat(dir / "b.bmp", false), lumenax::ftBmp);
  EXPECT_EQ(window.lbxFiles.count(), 2);

  window.btnClear.click();
  EXPECT_EQ(window.lbxFiles.count(), 0);

  // Files dropped on the list are added like the add command adds them.
  window.filesDropped({QString::fromStdString((dir / "a.png").string())});
  EXPECT_EQ(window.lbxFiles.count(), 1);
}

TEST_F(WindowTest, AnExceptionIsShownAndEndsTheCommand) {
  lumenax::test::TempDir dir;
  {
    lumenax::TLumenaxIO io;
    io.Bitmap()->Allocate(4, 4, lumenax::lx24RGB);
    io.SaveToFileBmp(dir / "a.bmp");
  }
  fs::create_directories(dir / "a.png");
  platform->ListAppend((dir / "a.bmp").string());
  window.btnConvert.click();
  ASSERT_EQ(platform->messages.size(), 1u);
  EXPECT_NE(platform->messages[0].find("a.png"), std::string::npos) << platform->messages[0];
}

// A list mixing files that convert, files refused on load or by format, and a file whose
// target cannot be created (a folder stands in its place), laid out in folder dir.
std::vector<std::string> MixedList(const fs::path& dir, bool withUnwritable) {
  std::vector<std::string> list;
  lumenax::TLumenaxIO io;
  io.Bitmap()->Allocate(160, 120, lumenax::lx24RGB);
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 480; ++x) io.Bitmap()->ScanLine(y)[x] = uint8_t(x * 7 ^ y * 13);
  io.Params.BmpKeepAlpha = true;
  for (int i = 0; i < 24; ++i) {
    std::string n = (dir / ("g" + std::to_string(i))).string();
    switch (i % 6) {
      case 1:
        lumenax::test::WriteFileBytes(n + ".bmp", {'B', 'M', 0, 0, 9});
        list.push_back(n + ".bmp");  // "Failed to load file."
        break;
      case 4:
        io.SaveToFilePcx(n + ".png");
        list.push_back(n + ".png");  // "Incorrect file format or bit depth."
        break;
      case 3:
        io.SaveToFilePng(n + ".png");
        list.push_back(n + ".png");
        break;
      default:
        io.SaveToFileBmp(n + ".bmp");
        list.push_back(n + ".bmp");
    }
  }
  list.push_back(list[0]);  // the same file twice, and a file missing: nothing said
  list.push_back((dir / "gone.bmp").string());
  if (withUnwritable) {
    io.SaveToFileBmp(dir / "blocked.bmp");
    fs::create_directories(dir / "blocked.png");
    list.insert(list.begin() + 17, (dir / "blocked.bmp").string());
  }
  return list;
}

TEST_F(WindowTest, ParallelConvertShowsTheMessagesOfOneWorkerInTheSameOrder) {
  for (bool unwritable : {false, true}) {
    SCOPED_TRACE(unwritable ? "with an unwritable target" : "every target writable");
    lumenax::test::TempDir dir;
    std::vector<std::string> list = MixedList(dir.path(), unwritable);
    std::vector<std::vector<std::string>> seen;
    for (int workers : {1, 2, 3}) {
      window.btnClearClick();
      for (const std::string& n : list) platform->ListAppend(n);
      platform->messages.clear();
      window.Commands().SetWorkers(workers);
      window.btnConvert.click();
      seen.push_back(platform->messages);
      EXPECT_EQ(platform->ListItems(), list) << "the list stays as it was";
    }
    std::vector<std::string> expected;
    for (int k = 0; k < 4; ++k) {
      expected.push_back("Failed to load file.");
      expected.push_back("Incorrect file format or bit depth.");
      if (unwritable && k == 2) break;
    }
    std::vector<std::string> messages = seen[0];
    if (unwritable) {
      ASSERT_EQ(messages.size(), expected.size() + 1);
      EXPECT_NE(messages.back().find("blocked.png"), std::string::npos) << messages.back();
      messages.pop_back();
    } else {
      for (int i = 0; i < 24; ++i) {
        const char* written = i % 6 == 3 ? ".bmp" : i % 6 == 1 || i % 6 == 4 ? nullptr : ".png";
        if (written) {
          EXPECT_TRUE(fs::exists(dir / ("g" + std::to_string(i) + written))) << i;
        }
      }
    }
    EXPECT_EQ(messages, expected);
    EXPECT_EQ(seen[1], seen[0]);
    EXPECT_EQ(seen[2], seen[0]);
  }
}

TEST_F(WindowTest, ADroppedFolderAddsItsBmpAndPngFilesButNotItsSubFolders) {
  lumenax::test::TempDir dir;
  fs::create_directories(dir / "sub");
  lumenax::TLumenaxIO io;
  io.Bitmap()->Allocate(4, 4, lumenax::lx24RGB);
  io.SaveToFileBmp(dir / "b.bmp");
  io.SaveToFilePng(dir / "a.png");
  io.SaveToFileBmp(dir / "sub" / "c.bmp");
  io.SaveToFileBmp(dir / "d.txt");
  lumenax::test::TempDir other;
  io.SaveToFilePng(other / "e.png");
  window.filesDropped({QString::fromStdString(dir.path().string()),
                       QString::fromStdString((other / "e.png").string())});
  EXPECT_EQ(platform->ListItems(),
            (std::vector<std::string>{(dir / "a.png").string(), (dir / "b.bmp").string(),
                                      (other / "e.png").string()}));
  EXPECT_TRUE(platform->messages.empty());
}

TEST_F(WindowTest, ProgressDialogCancelStopsTheCommand) {
  QtPlatform real(window);
  real.BeginProgress(3);
  EXPECT_TRUE(real.StepProgress(1));
  auto* dialog = window.findChild<QProgressDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->minimumDuration(), 500);
  EXPECT_TRUE(dialog->isModal() || dialog->windowModality() != Qt::NonModal);
  dialog->cancel();
  EXPECT_FALSE(real.StepProgress(2));
  real.EndProgress();
  EXPECT_EQ(window.findChild<QProgressDialog*>(), nullptr);
}

}  // namespace
}  // namespace veltrano
