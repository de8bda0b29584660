// The main window on a program folder of many sites, offscreen: the time until the window shows
// its first page of the grid, the time of each page while paging from top to bottom, Last (the
// navigator's button and Ctrl+End in the grid), a sort by a column header, a find without a match,
// and the process's peak memory. Goals: first page under 1 s, each page under 50 ms, Last under
// 100 ms, first sorted page under 1 s, a find shows the busy cursor and, after 1 s, progress with
// Cancel; memory under 150 MB.
//
// Memory is reported twice. Peak private memory (RssAnon of /proc/self/status, sampled after
// every step) is what the program itself holds: its objects, the grid's pages, the store's
// caches. Peak resident memory (VmHWM) also counts the pages of the table files the store reads
// through a memory mapping (see "Reading through a memory mapping" in the README): counting a
// filtered view of 100,000 sites touches the whole data file once, about 100 MB of clean, shared
// page cache that the system can take back at any time. Page times are given as wall time and
// as the CPU time of the window's thread; on a busy machine the wall time also holds the time
// the thread waited for a core.
//
//   bench_main_window [sites]     (default 100,000; the folder is made in $TMPDIR and removed)
#include <unistd.h>

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/Config.h"
#include "app/Include.h"
#include "app/ui/FindDialog.h"
#include "app/ui/QtUi.h"
#include "app/ui/fMain.h"
#include "data/DataMod.h"
#include "data/SiteTables.h"
#include "data/ui/DBControls.h"
#include "data/ui/DBGrid.h"
#include "store/api/StoreTb.h"

using namespace quellor;
using Clock = std::chrono::steady_clock;

namespace {

// A value in MB of /proc/self/status ("VmHWM", "RssAnon"); 0 when it cannot be read.
double StatusMb(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  double mb = 0;
  size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, key, n) == 0 && line[n] == ':') mb = std::atol(line + n + 1) / 1024.0;
  std::fclose(f);
  return mb;
}

// The highest private memory seen so far.
double gPeakPrivate = 0;
void SamplePrivate() {
  gPeakPrivate = std::max(gPeakPrivate, StatusMb("RssAnon"));
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void FillSites(const std::string& folder, int count) {
  TStoreTable t;
  t.SetDatabaseName(folder);
  t.SetTableName("cracks.DAT");
  t.Open();
  char url[64];
  for (int i = 0; i < count; ++i) {
    std::snprintf(url, sizeof url, "http://site%06d.test/", i);
    t.Append();
    t.FieldByName("Url").SetAsString(url);
    t.FieldByName("E-mails").SetAsString("abuse@isp" + std::to_string(i % 97) + ".test");
    t.FieldByName("Killed").SetAsBoolean(i % 10 == 0);
    t.FieldByName("Cracks").SetAsBoolean(i % 3 == 0);
    t.FieldByName("Priority").SetAsInteger(i % 5);
    t.Post();
  }
}

// The Qt Ui with the message boxes answered at once, noting when the busy cursor and the
// progress window of a command began.
class BenchUi : public QtUi {
 public:
  using QtUi::QtUi;
  void ShowMessage(const std::string& text) override { lastMessage = text; }
  void BeginBusy() override {
    if (busyAt < 0) busyAt = Seconds(since);
    QtUi::BeginBusy();
  }
  void BeginProgress(const std::string& caption, int total) override {
    if (progressAt < 0) progressAt = Seconds(since);
    QtUi::BeginProgress(caption, total);
  }
  bool StepProgress(int done, const std::string& text) override {
    bool cancel = QtUi::StepProgress(done, text);
    if (shownAt < 0 && QApplication::activeModalWidget()) shownAt = Seconds(since);
    ++steps;
    return cancel;
  }
  void Start() {
    since = Clock::now();
    busyAt = progressAt = shownAt = -1;
    steps = 0;
    lastMessage.clear();
  }
  Clock::time_point since;
  double busyAt = -1, progressAt = -1, shownAt = -1;
  int steps = 0;
  std::string lastMessage;
};

// Runs `action` and waits until the grid has painted what follows; returns the seconds taken.
template <typename F>
double Timed(TDBGrid* grid, F action) {
  auto t = Clock::now();
  action();
  QApplication::processEvents();
  grid->viewport()->repaint();
  double seconds = Seconds(t);
  SamplePrivate();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int sites = argc > 1 ? std::atoi(argv[1]) : 100000;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  std::string folder =
      (std::filesystem::temp_directory_path() / ("quellor-bench-" + std::to_string(getpid())))
          .string() +
      "/";
  std::filesystem::create_directories(folder);
  try {
    CreateProgramTables(folder);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  auto fillStart = Clock::now();
  FillSites(folder, sites);
  std::printf("program folder with %d sites made in %.2f s\n", sites, Seconds(fillStart));

  QApplication app(argc, argv);
  SetProgramFolder(folder);
  auto start = Clock::now();
  TConfig config;
  config.ReadLastCompany();
  config.ReadSettings();
  BenchUi ui;
  TForm1 form(config, ui);
  TDM dm(config);
  dm.DataModuleCreate();
  form.AttachData(&dm.dsCracks);
  form.findChild<QTabWidget*>("PageControl1")->setCurrentIndex(1);
  form.show();
  TDBGrid* grid = form.findChild<TDBGrid*>("DBGrid1");
  grid->viewport()->repaint();
  QApplication::processEvents();
  double firstPage = Seconds(start);
  SamplePrivate();

  QScrollBar* bar = grid->verticalScrollBar();
  std::vector<double> pages, pagesCpu;
  while (bar->value() < bar->maximum()) {
    auto t = Clock::now();
    double cpu = ThreadCpuSeconds();
    bar->setValue(std::min(bar->maximum(), bar->value() + bar->pageStep()));
    grid->viewport()->repaint();
    QApplication::processEvents();
    pages.push_back(Seconds(t));
    pagesCpu.push_back(ThreadCpuSeconds() - cpu);
    SamplePrivate();
  }
  std::sort(pages.begin(), pages.end());
  std::sort(pagesCpu.begin(), pagesCpu.end());
  double total = 0;
  for (double p : pages) total += p;
  long over50 = std::count_if(pages.begin(), pages.end(), [](double p) { return p > 0.050; });
  TStoreTable* sites_table = form.GridDataSet();
  TDBNavigator* navigator = form.findChild<TDBNavigator*>("DBNavigator1");
  sites_table->First();
  QApplication::processEvents();
  double last = Timed(grid, [&] { navigator->BtnClick(TDBNavigator::nbLast); });
  std::string lastUrl = sites_table->FieldByName("Url").AsString();
  sites_table->First();
  QApplication::processEvents();
  grid->setFocus();
  double ctrlEnd = Timed(grid, [&] {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_End, Qt::ControlModifier);
    QApplication::sendEvent(grid, &press);
  });
  bool ctrlEndOk = sites_table->FieldByName("Url").AsString() == lastUrl;

  // Sort by the E-mails column: the first click sorts ascending.
  int emailsColumn = sites_table->FieldByName("E-mails").Index();
  double sorted = Timed(grid, [&] { emit grid->horizontalHeader()->sectionClicked(emailsColumn); });
  QString firstSorted = grid->model()->index(0, emailsColumn).data().toString();
  Timed(grid, [&] { emit grid->horizontalHeader()->sectionClicked(emailsColumn); });
  Timed(grid, [&] { emit grid->horizontalHeader()->sectionClicked(emailsColumn); });
  // The Url column, whose values are all different.
  double sortedUrl = Timed(grid, [&] { emit grid->horizontalHeader()->sectionClicked(0); });
  Timed(grid, [&] { emit grid->horizontalHeader()->sectionClicked(0); });
  Timed(grid, [&] { emit grid->horizontalHeader()->sectionClicked(0); });

  // A find without a match from the first record.
  form.FindFirst1Click();
  form.FindDialog()->findChild<QLineEdit*>("FindText")->setText("no such text");
  ui.Start();
  double find = Timed(grid, [&] { form.FindDialog1Find(); });
  form.FindDialog()->hide();

  SamplePrivate();
  std::printf("rows shown by the grid          %d\n", grid->model()->rowCount());
  std::printf("first page shown                %.3f s   (goal < 1 s)\n", firstPage);
  std::printf("pages to the bottom             %zu, %.2f s in all\n", pages.size(), total);
  if (!pages.empty()) {
    std::printf(
        "page time median / 99%% / worst  %.1f / %.1f / %.1f ms   (goal < 50 ms), "
        "%ld over 50 ms\n",
        pages[pages.size() / 2] * 1e3, pages[pages.size() * 99 / 100] * 1e3, pages.back() * 1e3,
        over50);
    std::printf("page CPU time median / 99%% / worst  %.1f / %.1f / %.1f ms\n",
                pagesCpu[pagesCpu.size() / 2] * 1e3, pagesCpu[pagesCpu.size() * 99 / 100] * 1e3,
                pagesCpu.back() * 1e3);
  }
  std::printf("Last (navigator button)          %.1f ms   (goal < 100 ms)\n", last * 1e3);
  std::printf("Ctrl+End in the grid            %.1f ms   (goal < 100 ms)%s\n", ctrlEnd * 1e3,
              ctrlEndOk ? "" : "   NOT ON THE LAST RECORD");
  std::printf("first sorted page (E-mails)     %.3f s   (goal < 1 s), first row %s\n", sorted,
              firstSorted.toLocal8Bit().constData());
  std::printf("first sorted page (Url)          %.3f s   (goal < 1 s)\n", sortedUrl);
  std::printf(
      "find without a match            %.2f s, busy cursor at %.2f s (goal: shown), "
      "progress begun at %.2f s, shown at %.2f s (goal: after 1 s), %d steps, \"%s\"\n",
      find, ui.busyAt, ui.progressAt, ui.shownAt, ui.steps, ui.lastMessage.c_str());
  double hwm = StatusMb("VmHWM"), file = StatusMb("RssFile");
  std::printf("peak private memory             %.1f MB   (goal < 150 MB)\n", gPeakPrivate);
  std::printf(
      "peak resident memory (VmHWM)    %.1f MB, of which file pages now %.1f MB "
      "(the mapped table files and the program's libraries)\n",
      hwm, file);
  std::filesystem::remove_all(folder);
  return 0;
}
