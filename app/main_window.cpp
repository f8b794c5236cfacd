#include "app/main_window.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <exception>

#include "app/cli.h"

namespace veltrano {

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

QStringList LocalFiles(const QMimeData* mime) {
  QStringList names;
  if (!mime || !mime->hasUrls()) return names;
  for (const QUrl& url : mime->urls())
    if (url.isLocalFile()) names << url.toLocalFile();
  return names;
}

}  // namespace

// ---------------------------------------------------------------- FileListBox

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent) {
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
}

void FileListBox::dragEnterEvent(QDragEnterEvent* event) {
  if (!LocalFiles(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void FileListBox::dragMoveEvent(QDragMoveEvent* event) {
  if (!LocalFiles(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void FileListBox::dropEvent(QDropEvent* event) {
  QStringList names = LocalFiles(event->mimeData());
  if (names.isEmpty()) return;
  event->acceptProposedAction();
  emit filesDropped(names);
}

// ---------------------------------------------------------------- dialog set-up

QStringList QtNameFilters(const std::string& filter) {
  QStringList parts = Q(filter).split('|');
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns = parts[i + 1].split(';', Qt::SkipEmptyParts);
    out << QString("%1 (%2)").arg(parts[i], patterns.join(' '));
  }
  return out;
}

void ConfigureOpenDialog(QFileDialog& dialog, const std::string& filter, uint32_t options) {
  // Qt's own dialog honours every option the same way on every desktop.
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode((options & ofAllowMultiSelect) ? QFileDialog::ExistingFiles
                                                    : QFileDialog::ExistingFile);
  QStringList filters = QtNameFilters(filter);
  dialog.setNameFilters(filters);
  if (!filters.isEmpty()) dialog.selectNameFilter(filters.first());
  if (options & ofForceShowHidden) dialog.setFilter(dialog.filter() | QDir::Hidden);
  dialog.setSizeGripEnabled((options & ofEnableSizing) != 0);
}

// ---------------------------------------------------------------- QtPlatform

bool QtPlatform::OpenDialog(const std::string& filter, uint32_t options,
                            std::vector<std::string>& names) {
  QFileDialog dialog(&window_);
  ConfigureOpenDialog(dialog, filter, options);
  if (dialog.exec() != QDialog::Accepted) return false;
  names.clear();
  for (const QString& f : dialog.selectedFiles()) names.push_back(f.toStdString());
  return true;
}

void QtPlatform::ListAppend(const std::string& name) {
  window_.lbxFiles.addItem(Q(name));
}

void QtPlatform::ListClear() {
  window_.lbxFiles.clear();
}

std::vector<std::string> QtPlatform::ListItems() {
  std::vector<std::string> items;
  for (int i = 0; i < window_.lbxFiles.count(); ++i)
    items.push_back(window_.lbxFiles.item(i)->text().toStdString());
  return items;
}

void QtPlatform::MessageBox(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::Critical, Q(caption), Q(text), QMessageBox::Ok, &window_);
  box.exec();
}

void QtPlatform::BeginProgress(int total) {
  progress_ =
      std::make_unique<QProgressDialog>(QString(), QObject::tr("Cancel"), 0, total, &window_);
  progress_->setWindowTitle(kCaption);
  progress_->setWindowModality(Qt::WindowModal);
  progress_->setMinimumDuration(500);
  progress_->setAutoReset(false);
  progress_->setValue(0);
}

bool QtPlatform::StepProgress(int done) {
  if (!progress_) return true;
  // A modal progress dialog processes events when its value changes; while the count stands
  // still (large files), Cancel is still heard.
  if (progress_->value() == done && progress_->isVisible())
    QCoreApplication::processEvents();
  else
    progress_->setValue(done);
  return !progress_->wasCanceled();
}

void QtPlatform::EndProgress() {
  progress_.reset();
}

// ---------------------------------------------------------------- TfrmMain

TfrmMain::TfrmMain(std::function<std::unique_ptr<ConverterPlatform>(TfrmMain&)> makePlatform)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
  setObjectName("frmMain");
  setWindowTitle(kCaption);
  QFont font;
  if (QFontDatabase::families().contains("Tahoma")) {
    font = QFont("Tahoma");
  } else {
    font = QFont("WenQuanYi Micro Hei");
    font.setStyleHint(QFont::SansSerif);
  }
  font.setPixelSize(11);  // 8 points at 96 dots per inch
  setFont(font);

  lblFiles.setText(QString::fromUtf8("要替换的文件:"));
  lblFiles.setObjectName("lblFiles");
  lblFiles.setGeometry(8, 8, 78, 13);
  lblFiles.setAttribute(Qt::WA_TranslucentBackground);
  lblFiles.setFocusPolicy(Qt::NoFocus);

  lbxFiles.setObjectName("lbxFiles");
  lbxFiles.setGeometry(8, 27, 435, 354);
  lbxFiles.setSelectionMode(QAbstractItemView::SingleSelection);
  lbxFiles.setUniformItemSizes(true);
  lbxFiles.setItemDelegate(&itemDelegate);

  btnAdd.setText(QString::fromUtf8("添加"));
  btnAdd.setObjectName("btnAdd");
  btnAdd.setGeometry(8, 387, 75, 25);
  btnConvert.setText(QString::fromUtf8("转换"));
  btnConvert.setObjectName("btnConvert");
  btnConvert.setGeometry(368, 387, 75, 25);
  btnClear.setText(QString::fromUtf8("删除"));
  btnClear.setObjectName("btnClear");
  btnClear.setGeometry(89, 387, 75, 25);

  setTabOrder(&lbxFiles, &btnAdd);
  setTabOrder(&btnAdd, &btnConvert);
  setTabOrder(&btnConvert, &btnClear);

  setFixedSize(451, 420);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }

  platform_ = makePlatform ? makePlatform(*this) : std::make_unique<QtPlatform>(*this);
  commands_ = std::make_unique<ConverterCommands>(*platform_);

  connect(&btnAdd, &QPushButton::clicked, this, &TfrmMain::btnAddClick);
  connect(&btnClear, &QPushButton::clicked, this, &TfrmMain::btnClearClick);
  connect(&btnConvert, &QPushButton::clicked, this, &TfrmMain::btnConvertClick);
  connect(&lbxFiles, &FileListBox::filesDropped, this, &TfrmMain::filesDropped);
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::RunCommand(const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& e) {
    platform_->MessageBox(e.what(), kCaption);
  }
}

void TfrmMain::btnAddClick() {
  RunCommand([this] { commands_->btnAddClick(); });
}

void TfrmMain::btnClearClick() {
  RunCommand([this] { commands_->btnClearClick(); });
}

void TfrmMain::btnConvertClick() {
  RunCommand([this] { commands_->btnConvertClick(); });
}

void TfrmMain::filesDropped(const QStringList& names) {
  // A dropped folder stands for its BMP and PNG files (not those of its sub-folders), as
  // it does for veltrano-cli.
  std::vector<std::string> list;
  for (const QString& n : names) {
    std::vector<std::string> files = ExpandPath(n.toStdString(), false);
    list.insert(list.end(), files.begin(), files.end());
  }
  RunCommand([this, &list] { commands_->AddFiles(list); });
}

}  // namespace veltrano
