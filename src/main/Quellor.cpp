// The program entry: start-up, then the event loop until the main window closes. Only the
// window's own state (size, position, page, grid columns) is written at shutdown.
#include <QApplication>

#include "app/ui/QtUi.h"
#include "app/ui/Startup.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);  // 1. the GUI application (it also takes the user's locale)
  quellor::QtUi ui;
  quellor::TStartUp startUp(ui);
  startUp.Run();
  return app.exec();  // 9.
}
