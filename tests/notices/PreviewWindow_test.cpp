// The notice preview in the real main window, offscreen: the person's editor is started and the
// window goes on repainting; an editor that ends with an error seconds later is reported then,
// with the whole sentence in the box's text.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/ui/QtUi.h"
#include "app/ui/Startup.h"
#include "app/ui/fMain.h"
#include "data/SiteTables.h"
#include "store/api/StoreTb.h"
#include "support/RecordingQtUi.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

using namespace quellor;
using Strings = std::vector<std::string>;

namespace {

// Counts the paint events of every widget of the application.
class PaintCounter : public QObject {
 public:
  int paints = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return QObject::eventFilter(watched, event);
  }
};

// The recording Ui that notes how many paints the window had made when a box came up.
class BoxUi : public test::RecordingQtUi {
 public:
  PaintCounter* counter = nullptr;
  std::optional<int> paintsAtBox;
  MbResult MessageBox(const std::string& text, const std::string& caption, MbButtons buttons,
                      MbIcon icon) override {
    if (counter && !paintsAtBox) paintsAtBox = counter->paints;
    return RecordingQtUi::MessageBox(text, caption, buttons, icon);
  }
};

using Environment = quellor::test::ScopedEnvironment;

void Script(const std::string& path, const std::string& body) {
  test::WriteFileBytes(path, "#!/bin/sh\n" + body);
  ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}

TEST(PreviewWindow, AnEditorThatFailsAfterThreeSecondsIsReportedWhileTheWindowRepaints) {
  test::TempDir dir;
  test::TempDir bin;
  CreateProgramTables(dir.path());
  {
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("cracks.DAT");
    t.Open();
    t.Append();
    t.FieldByName("Url").SetAsString("http://warez.example/");
    t.FieldByName("Cracks").SetAsBoolean(true);
    t.FieldByName("Killed").SetAsBoolean(false);  // the view shows sites not killed
    t.Post();
  }
  test::WriteFileBytes(dir.file("noticeFooter.txt"), "Regards\r\n");

  // $EDITOR in the configured terminal; nothing else on PATH (no desktop editor, no xdg-open).
  const std::string terminal = bin.file("terminal");
  Script(terminal, "[ \"$1\" = -e ] && shift\nexec \"$@\"\n");
  Script(bin.file("slow-editor"), "/bin/sleep 3\nexit 1\n");
  Environment vars;
  vars.Set("PATH", bin.path());
  vars.Set("VISUAL", std::nullopt);
  vars.Set("EDITOR", "slow-editor");
  vars.Set("TERMINAL", terminal);
  vars.Set("TMPDIR", dir.path());

  BoxUi ui;
  TStartUp startUp{ui};
  startUp.Run(dir.path());
  TForm1& form = startUp.Form();
  ASSERT_EQ(ui.calls, Strings{});
  PaintCounter counter;
  qApp->installEventFilter(&counter);
  ui.counter = &counter;
  QTimer repaint;
  QObject::connect(&repaint, &QTimer::timeout, [&form] { form.update(); });
  repaint.start(50);

  form.MenuItem("PreviewComplaintMail1")->trigger();
  // The command has returned while the editor runs: nothing to report yet.
  EXPECT_EQ(ui.calls, Strings{});
  counter.paints = 0;
  EXPECT_TRUE(QTest::qWaitFor([&] { return !ui.calls.empty(); }, 60000));
  EXPECT_EQ(ui.calls, Strings{"box: Launch Error|Could not launch slow-editor in " + terminal +
                              "\nslow-editor in " + terminal + " ended with exit status 1."});
  // The window kept painting while it waited for the editor.
  ASSERT_TRUE(ui.paintsAtBox);
  EXPECT_GE(*ui.paintsAtBox, 5);
  repaint.stop();
  qApp->removeEventFilter(&counter);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
