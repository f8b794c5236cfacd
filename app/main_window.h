// The converter's one window, TfrmMain, and the Qt implementation of the platform
// operations behind its commands.
#pragma once

#include <QLabel>
#include <QListWidget>
#include <QProgressDialog>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QWidget>
#include <functional>
#include <memory>

#include "app/converter.h"

class QFileDialog;

namespace veltrano {

// The file list: a list box that also takes files dropped on it.
class FileListBox : public QListWidget {
  Q_OBJECT
 public:
  explicit FileListBox(QWidget* parent);

 signals:
  void filesDropped(const QStringList& names);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

// Rows of the file list are 13 pixels high.
class FixedHeightDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), 13);
  }
};

class TfrmMain;

// Platform operations on Qt: the open dialog, the list box, message boxes owned by the window
// and the progress dialog. Tests derive from it to answer the dialogs themselves.
class QtPlatform : public ConverterPlatform {
 public:
  explicit QtPlatform(TfrmMain& window) : window_(window) {}
  bool OpenDialog(const std::string& filter, uint32_t options,
                  std::vector<std::string>& names) override;
  void ListAppend(const std::string& name) override;
  void ListClear() override;
  std::vector<std::string> ListItems() override;
  void MessageBox(const std::string& text, const std::string& caption) override;
  void BeginProgress(int total) override;
  bool StepProgress(int done) override;
  void EndProgress() override;

 protected:
  TfrmMain& window_;

 private:
  std::unique_ptr<QProgressDialog> progress_;
};

// Sets up a file dialog with the filter and options of the add command.
void ConfigureOpenDialog(QFileDialog& dialog, const std::string& filter, uint32_t options);
// "Text|*.a;*.b;|..." as Qt name filters: "Text (*.a *.b)", ...
QStringList QtNameFilters(const std::string& filter);

class TfrmMain : public QWidget {
  Q_OBJECT
 public:
  // makePlatform builds the platform operations for this window (QtPlatform by default).
  explicit TfrmMain(std::function<std::unique_ptr<ConverterPlatform>(TfrmMain&)> makePlatform = {});
  ~TfrmMain() override;

  // The controls are children of the window held by value (Qt detaches a child that is
  // destroyed before its parent).
  QLabel lblFiles{this};
  FileListBox lbxFiles{this};
  QPushButton btnAdd{this};
  QPushButton btnConvert{this};
  QPushButton btnClear{this};
  FixedHeightDelegate itemDelegate{this};

  ConverterPlatform& Platform() { return *platform_; }
  ConverterCommands& Commands() { return *commands_; }

 public slots:
  void btnAddClick();
  void btnClearClick();
  void btnConvertClick();
  void filesDropped(const QStringList& names);

 private:
  // Runs a command; an exception ends it and is shown in a message box with its text.
  void RunCommand(const std::function<void()>& command);

  std::unique_ptr<ConverterPlatform> platform_;
  std::unique_ptr<ConverterCommands> commands_;
};

}  // namespace veltrano
