// The program entry: start-up in its fixed order, then the event loop until the main window
// closes. Nothing is written at shutdown.
#include <QApplication>
#include <clocale>
#include <exception>

#include "app/Config.h"
#include "app/Include.h"
#include "app/QtUi.h"
#include "app/fMain.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);  // 1. the GUI application
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "");
  quellor::QtUi ui;
  quellor::TConfig config;       // 2. every string empty, every number zero
  quellor::InitProgramFolder();  // 3.
  try {
    config.ReadLastCompany();  // 4.
    config.ReadSettings();     // 5.
  } catch (const std::exception& e) {
    ui.ShowError(e.what());
  }
  QApplication::setApplicationName("Quellor");  // 6.
  quellor::TForm1 form(config, ui);             // 7.
  ui.SetParent(&form);
  form.show();
  return app.exec();  // 9.
}
