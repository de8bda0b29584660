// The program entry: start-up, then the event loop until the main window closes. Only the
// window's own state (size, position, page, grid columns) is written at shutdown.
#include <QApplication>

#include "app/ui/QtUi.h"
#include "app/ui/Startup.h"
#include "platform/Shell.h"

int main(int argc, char** argv) {
  // A server or program that goes away while the program writes to it is a failed write, never
  // the end of the program.
  quellor::IgnoreBrokenPipes();
  QApplication app(argc, argv);  // 1. the GUI application (it also takes the user's locale)
  quellor::QtUi ui;
  quellor::TStartUp startUp(ui);
  startUp.Run();
  return app.exec();  // 9.
}
