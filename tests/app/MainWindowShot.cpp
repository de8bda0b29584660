// main_window_shot: starts the program on a program folder, as a person would see it, and saves
// a picture of the main window (QWidget::grab) for the README.
//
//   main_window_shot FOLDER OUT.png [--dark] [--site N]
//
// The Fusion style is used; --dark gives it a dark palette; --site moves to the N-th site of
// the view first. The scale comes from QT_SCALE_FACTOR as usual. Run it under Xvfb (or the
// offscreen platform); it prints the picture's size in pixels.
#include <QApplication>
#include <QPalette>
#include <QPixmap>
#include <QStyleFactory>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/ui/QtUi.h"
#include "app/ui/Startup.h"
#include "app/ui/fMain.h"
#include "data/DataMod.h"

namespace {

QPalette DarkPalette() {
  QPalette p;
  QColor window(45, 45, 48), base(30, 30, 32), text(225, 225, 225), accent(64, 128, 200);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, window);
  p.setColor(QPalette::ToolTipBase, QColor(90, 70, 30));
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, window);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::BrightText, Qt::red);
  p.setColor(QPalette::Highlight, accent);
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::PlaceholderText, QColor(140, 140, 140));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 120));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 120));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 120));
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: main_window_shot FOLDER OUT.png [--dark] [--site N]\n");
    return 2;
  }
  std::string folder = argv[1];
  QString out = QString::fromLocal8Bit(argv[2]);
  bool dark = false;
  int site = 1;
  for (int i = 3; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--dark") dark = true;
    if (arg == "--site" && i + 1 < argc) site = std::atoi(argv[++i]);
  }
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  if (dark) QApplication::setPalette(DarkPalette());

  quellor::QtUi ui;
  quellor::TStartUp startUp(ui);
  startUp.Run(folder);
  quellor::TForm1& form = startUp.Form();
  quellor::TStoreTable& sites = startUp.DataModule().tblCracks;
  if (sites.Active()) {
    sites.First();
    for (int i = 1; i < site; ++i) sites.Next();
  }
  int result = 1;
  QTimer::singleShot(500, [&] {
    QPixmap shot = form.grab();
    std::printf("%dx%d\n", shot.width(), shot.height());
    result = shot.save(out) ? 0 : 1;
    app.quit();
  });
  app.exec();
  return result;
}
