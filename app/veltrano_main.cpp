// Veltrano: the window that converts BMP files to PNG and PNG files to BMP.
#include <QApplication>

#include "app/main_window.h"
#include "io/lumenax_io.h"
#include "io/startup.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(veltrano::kCaption);
  QApplication::setApplicationDisplayName(veltrano::kCaption);
  lumenax::LumenaxStartup();
  veltrano::TfrmMain window;
  window.show();
  return app.exec();
}
