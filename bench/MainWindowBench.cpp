// The main window on a program folder of many sites, offscreen: the time until the window shows
// its first page of the grid, the time of each page while paging from top to bottom, and the
// process's peak memory. Goals: first page under 1 s, each page under 50 ms, memory under 150 MB.
//
//   bench_main_window [sites]     (default 100,000; the folder is made in $TMPDIR and removed)
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QScrollBar>
#include <QTabWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/Config.h"
#include "app/Include.h"
#include "app/QtUi.h"
#include "app/fMain.h"
#include "data/DBGrid.h"
#include "data/DataMod.h"
#include "store/StoreTb.h"
#include "data/SiteTables.h"

using namespace quellor;
using Clock = std::chrono::steady_clock;

namespace {

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
  QtUi ui;
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

  QScrollBar* bar = grid->verticalScrollBar();
  std::vector<double> pages;
  while (bar->value() < bar->maximum()) {
    auto t = Clock::now();
    bar->setValue(std::min(bar->maximum(), bar->value() + bar->pageStep()));
    grid->viewport()->repaint();
    QApplication::processEvents();
    pages.push_back(Seconds(t));
  }
  std::sort(pages.begin(), pages.end());
  double total = 0;
  for (double p : pages) total += p;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("rows shown by the grid          %d\n", grid->model()->rowCount());
  std::printf("first page shown                %.3f s   (goal < 1 s)\n", firstPage);
  std::printf("pages to the bottom             %zu, %.2f s in all\n", pages.size(), total);
  if (!pages.empty()) {
    std::printf("page time median / 99%% / worst  %.1f / %.1f / %.1f ms   (goal < 50 ms)\n",
                pages[pages.size() / 2] * 1e3, pages[pages.size() * 99 / 100] * 1e3,
                pages.back() * 1e3);
  }
  std::printf("peak memory                     %.1f MB   (goal < 150 MB)\n",
              usage.ru_maxrss / 1024.0);
  std::filesystem::remove_all(folder);
  return 0;
}
