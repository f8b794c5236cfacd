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
