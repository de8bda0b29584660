// The main window's table notice, status bar and window keys, and what it keeps across starts.
//
// The notice above the pages says why the controls are greyed or read-only (a missing, closed
// or read-only site table, a missing ISP table); while the site table is read-only the commands
// that change sites (kill, import, IP lookups, Get Emails) are off. The status bar shows "site n
// of N" for the site table's current view and "Modified" while a site is being edited; while the
// Detail page shows the result of an SQL file it counts the result's rows instead ("row n of N
// of the query result"). The mark follows at once; the position is counted kStatusDelayMs after
// the last move, because the position of a record in a filtered view of 100,000 sites takes a
// walk through the view (0.1 to 0.2 s at its end), which a key held down must not pay for each
// site. N itself comes from the view filter's record set and costs nothing once the set is
// built. F3 runs Find Next and Ctrl+Q closes the window. The window's size, position and page,
// and the grid's column widths and order, are kept in the person's QSettings (group "MainWindow"),
// never in the shared program folder; the columns with their names, so that a layout of other
// columns is never applied.
#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QSettings>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <exception>

#include "app/DialogFolders.h"
#include "app/TableNotice.h"
#include "app/ui/FindDialog.h"
#include "app/ui/ScreenFit.h"
#include "app/ui/fMain.h"
#include "data/DataMod.h"
#include "data/DataSource.h"
#include "data/ui/DBControls.h"
#include "data/ui/DBGrid.h"
#include "store/api/StoreTb.h"

namespace quellor {

// Follows the site table's data source for the notice and the status bar.
class TForm1::TStatusLink : public TDataLink {
 public:
  explicit TStatusLink(TForm1& form) : form_(form) {}

  void Attach(TDataSource* source) { AttachTo(source); }

  void DataEvent(TDataEvent event, int) override {
    if (event == TDataEvent::ActiveChanged) form_.UpdateTableNotice();
    if (event != TDataEvent::FieldChanged && event != TDataEvent::UpdateRecord)
      form_.ScheduleStatusUpdate();
  }

 private:
  TForm1& form_;
};

void TForm1::TStatusLinkDeleter::operator()(TStatusLink* link) const {
  delete link;
}

namespace {

constexpr const char* kGroup = "MainWindow";
constexpr int kStatusDelayMs = 150;

// The window keeps its state only when the program has named itself (organisation and
// application), so that tests and tools never write into the person's settings by accident.
bool KeepsState() {
  return !QCoreApplication::organizationName().isEmpty() &&
         !QCoreApplication::applicationName().isEmpty();
}

}  // namespace

void TForm1::BuildStatusBar() {
  statusLink_.reset(new TStatusLink(*this));

  tableNotice_ = new QLabel(centralWidget());
  tableNotice_->setObjectName("TableNotice");
  tableNotice_->setWordWrap(true);
  tableNotice_->setMargin(6);
  tableNotice_->setAutoFillBackground(true);
  tableNotice_->setBackgroundRole(QPalette::ToolTipBase);
  tableNotice_->setForegroundRole(QPalette::ToolTipText);
  tableNotice_->setFrameShape(QFrame::StyledPanel);
  tableNotice_->hide();
  static_cast<QVBoxLayout*>(centralWidget()->layout())->insertWidget(1, tableNotice_);

  statusTimer_ = new QTimer(this);
  statusTimer_->setSingleShot(true);
  statusTimer_->setInterval(kStatusDelayMs);
  connect(statusTimer_, &QTimer::timeout, this, [this] { UpdateStatusBar(); });
  // The position follows the page shown and the grid's current row (a query result's rows are
  // not the navigator's).
  connect(pages_, &QTabWidget::currentChanged, this, [this] { UpdateStatusBar(); });
  connect(grid_->Model(), &TDataSetModel::CurrentRowChanged, this,
          [this] { statusTimer_->start(); });

  QStatusBar* bar = statusBar();
  bar->setObjectName("StatusBar1");
  statusPosition_ = new QLabel(bar);
  statusPosition_->setObjectName("StatusPosition");
  statusModified_ = new QLabel(bar);
  statusModified_->setObjectName("StatusModified");
  bar->addWidget(statusPosition_, 1);
  bar->addPermanentWidget(statusModified_);
}

void TForm1::BuildWindowKeys() {
  // F3: Find Next (the hidden menu item's key), or Find First while nothing has been looked for.
  auto* findNext = new QAction("Find Next", this);
  findNext->setObjectName("FindNextKey");
  findNext->setShortcut(QKeySequence(Qt::Key_F3));
  findNext->setShortcutContext(Qt::WindowShortcut);
  addAction(findNext);
  connect(findNext, &QAction::triggered, this, [this] { RunCommand([this] { FindNextKey(); }); });
  // Ctrl+Q closes the window, as File > Close does.
  if (QAction* close = MenuItem("Close1")) close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  // Delete names the site it would delete and defaults to Cancel.
  navigator_->DeleteQuestion = [this]() -> std::string {
    TStoreTable* t = NavigatorDataSet();
    if (!t) return {};
    TStoreField* url = t->FindField("Url");
    std::string name = url ? url->AsString() : std::string();
    return name.empty() ? "Delete this site?" : "Delete the site " + name + "?";
  };
}

void TForm1::FindNextKey() {
  if (findDialog_->Options().text.empty()) {
    FindFirst1Click();
    return;
  }
  FindDialog1Find();
}

void TForm1::UpdateTableNotice() {
  if (!tableNotice_) return;
  TStoreTable* sites = dsCracks_ ? dsCracks_->DataSet() : nullptr;
  TStoreTable* isps = dm_ ? &dm_->tblIsp : nullptr;
  std::string text;
  try {
    text = TableNoticeText(sites, isps);
  } catch (const std::exception& e) {
    text = e.what();
  }
  tableNotice_->setText(ToQ(text));
  tableNotice_->setVisible(!text.empty());
  // The commands that change sites are off while the site table is read-only.
  bool readOnly = sites && sites->Active() && sites->ReadOnly();
  for (const char* name : {"Killsite1", "Killsitedead1", "ImportCSVfile1", "ImportHtmlfile1",
                           "GetIP1", "CheckIPs1", "GetEmails1"})
    if (QAction* item = MenuItem(name)) item->setEnabled(!readOnly);
}

void TForm1::ScheduleStatusUpdate() {
  if (!statusModified_) return;
  TStoreTable* t = NavigatorDataSet();
  TDataSetState state = t ? t->State() : TDataSetState::Inactive;
  statusModified_->setText(
      state == TDataSetState::Edit || state == TDataSetState::Insert ? "Modified" : "");
  statusTimer_->start();
}

void TForm1::UpdateStatusBar() {
  if (!statusPosition_) return;
  QString position;
  bool editing = false;
  // The Detail page showing a query result: its rows, not the sites.
  TStoreTable* grid = GridDataSet();
  if (grid && pages_->currentIndex() == 1 && grid != NavigatorDataSet()) {
    try {
      int count = grid->RecordCount();
      int row = grid_->Model()->CurrentRow();
      position = count == 0 ? QString("no rows in the query result")
                            : QString("row %1 of %2 of the query result").arg(row + 1).arg(count);
    } catch (const std::exception&) {
      position.clear();
    }
    statusPosition_->setText(position);
    statusModified_->setText("");
    return;
  }
  if (TStoreTable* t = NavigatorDataSet()) {
    try {
      TDataSetState state = t->State();
      editing = state == TDataSetState::Edit || state == TDataSetState::Insert;
      int count = t->RecordCount();
      if (state == TDataSetState::Insert) {
        position = QString("new site (%1 in view)").arg(count);
      } else if (count == 0) {
        position = "no sites in view";
      } else {
        position = QString("site %1 of %2").arg(t->RecNo()).arg(count);
      }
    } catch (const std::exception&) {
      position.clear();
    }
  }
  statusPosition_->setText(position);
  statusModified_->setText(editing ? "Modified" : "");
}

QByteArray TForm1::GridColumnsState() const {
  return grid_->horizontalHeader()->saveState();
}

bool TForm1::RestoreGridColumns(const QByteArray& state) {
  if (state.isEmpty() || !grid_->horizontalHeader()->restoreState(state)) return false;
  // The rows come in the view's own order after a start: no sort arrow.
  grid_->horizontalHeader()->setSortIndicatorShown(false);
  return true;
}

void TForm1::SaveWindowState() const {
  if (!KeepsState()) return;
  QSettings settings;
  settings.beginGroup(kGroup);
  settings.setValue("geometry", saveGeometry());
  settings.setValue("page", pages_->currentIndex());
  // The folders the file dialogs start in, by kind of file.
  settings.beginGroup("dialogFolders");
  for (const auto& [kind, folder] : DialogFolders()) settings.setValue(ToQ(kind), ToQ(folder));
  settings.endGroup();
  // The columns of the site table only: a query result in the grid has columns of its own.
  if (grid_->Model()->DataSource() == dsCracks_ && grid_->model()->columnCount() > 0) {
    settings.setValue("gridColumns", GridColumnsState());
    settings.setValue("gridColumnCount", grid_->model()->columnCount());
    settings.setValue("gridColumnNames", grid_->ColumnsKeyText());
  }
}

void TForm1::RestoreWindowState() {
  if (!KeepsState()) return;
  QSettings settings;
  settings.beginGroup(kGroup);
  if (settings.contains("geometry")) restoreGeometry(settings.value("geometry").toByteArray());
  std::map<std::string, std::string> folders;
  settings.beginGroup("dialogFolders");
  for (const QString& kind : settings.childKeys())
    folders[FromQ(kind)] = FromQ(settings.value(kind).toString());
  settings.endGroup();
  if (!folders.empty()) SetDialogFolders(folders);
  int page = settings.value("page", 0).toInt();
  if (page >= 0 && page < pages_->count()) pages_->setCurrentIndex(page);
  // Never larger than the screen the window is on, its frame included, and never beyond its edges.
  KeepOnScreen(this);
}

// Called by AttachData: follow the new source, put back the columns kept for the site table.
void TForm1::AttachStatus(TDataSource* dsCracks) {
  if (!statusLink_) return;
  statusLink_->Attach(dsCracks);
  if (dsCracks && KeepsState()) {
    QSettings settings;
    settings.beginGroup(kGroup);
    // Only a layout of these very columns: one kept by an older program (without the names)
    // or for other fields is dropped, and the columns keep their widths from their content.
    if (settings.value("gridColumnCount", -1).toInt() == grid_->model()->columnCount() &&
        settings.value("gridColumnNames").toString() == grid_->ColumnsKeyText())
      RestoreGridColumns(settings.value("gridColumns").toByteArray());
    else
      settings.remove("gridColumns");
  }
  UpdateTableNotice();
  UpdateStatusBar();
}

void TForm1::closeEvent(QCloseEvent* event) {
  SaveWindowState();
  QMainWindow::closeEvent(event);
}

}  // namespace quellor
