// "Check IPs" over a view of 5,000 sites with a scripted resolver that takes 50 ms per lookup:
// the concurrent walk (lookups running ahead on worker threads) against the plain walk, one
// blocking lookup after the other, measured the same way on two copies of one program folder.
// Prints both times, the speed-up and whether both walks left the tables identical (every
// IPAddr and IPChanged), and exits non-zero when they did not.
//
//   bench_ip_check [--sites N] [--delay MS] [--in-flight N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "SilentUi.h"
#include "StoreTool.h"
#include "app/Config.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "data/DataMod.h"
#include "lookup/IpCheck.h"
#include "store/api/StoreTb.h"
#include "tests/support/ScriptedResolver.h"

using namespace quellor;
using Clock = std::chrono::steady_clock;

namespace {

struct Site {
  std::string url, ip;
  bool ipChanged;
};

std::string MakeFolder(const std::vector<Site>& sites) {
  std::string dir = (std::filesystem::temp_directory_path() / "quellor-ipbench-XXXXXX").string();
  if (!mkdtemp(dir.data())) throw std::runtime_error("mkdtemp failed");
  dir += "/";
  std::ostringstream out, err;
  if (RunStoreTool({"init", dir}, out, err) != 0) throw std::runtime_error(err.str());
  TStoreTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("cracks.DAT");
  t.Open();
  for (const Site& s : sites) {
    t.Append();
    t.FieldByName("Url").SetAsString(s.url);
    t.FieldByName("IPAddr").SetAsString(s.ip);
    t.FieldByName("IPChanged").SetAsBoolean(s.ipChanged);
    t.FieldByName("Killed").SetAsBoolean(false);
    t.Post();
  }
  return dir;
}

std::vector<Site> ReadFolder(const std::string& dir) {
  TStoreTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("cracks.DAT");
  t.Open();
  std::vector<Site> sites;
  for (t.First(); !t.Eof(); t.Next())
    sites.push_back({t.FieldByName("Url").AsString(), t.FieldByName("IPAddr").AsString(),
                     t.FieldByName("IPChanged").AsBoolean()});
  return sites;
}

struct Run {
  double seconds = 0;
  TIpCheckResult result;
  size_t lookups = 0;
  std::vector<std::string> messages;
};

template <typename Walk>
Run Measure(const std::string& dir, std::chrono::milliseconds delay, Walk walk) {
  auto resolver = std::make_shared<quellor::test::TScriptedResolver>();
  resolver->Delay(delay);
  // Of every three hosts one keeps its address, one moved, one is gone.
  for (int h = 0; h < 6000; ++h) {
    std::string host = "www.site" + std::to_string(h) + ".test";
    if (h % 3 == 0)
      resolver->Answer(host, "10.1." + std::to_string(h / 250) + "." + std::to_string(h % 250));
    if (h % 3 == 1)
      resolver->Answer(host, "10.9." + std::to_string(h / 250) + "." + std::to_string(h % 250));
  }
  SetProgramFolder(dir);
  TConfig config;
  config.ReadLastCompany();
  Run run;
  {
    TDM dm(config);
    dm.DataModuleCreate();
    dm.tblCracks.First();
    SilentUi ui;
    auto start = Clock::now();
    run.result = walk(dm.tblCracks, resolver, ui);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.messages = ui.messages;
  }
  run.lookups = resolver->Asked().size();
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 5000, delayMs = 50;
  TIpCheckOptions options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    int value = std::atoi(argv[i + 1]);
    if (flag == "--sites")
      count = value;
    else if (flag == "--delay")
      delayMs = value;
    else if (flag == "--in-flight")
      options.inFlight = value;
  }
  std::vector<Site> sites;
  for (int i = 0; i < count; ++i) {
    int h = i % 6000;
    sites.push_back({"http://www.site" + std::to_string(h) + ".test/p" + std::to_string(i),
                     "10.1." + std::to_string(h / 250) + "." + std::to_string(h % 250),
                     i % 7 == 0});
  }
  std::string plainDir = MakeFolder(sites), concurrentDir = MakeFolder(sites);
  std::chrono::milliseconds delay(delayMs);
  std::printf("Check IPs over %d sites, scripted resolver %d ms per lookup\n", count, delayMs);

  Run concurrent = Measure(concurrentDir, delay, [&](TStoreTable& t, auto& r, Ui& ui) {
    return CheckIPs(t, r, ui, options);
  });
  std::printf("  concurrent walk (%d in flight): %8.2f s, %zu lookups, %d changed\n",
              options.inFlight, concurrent.seconds, concurrent.lookups, concurrent.result.changed);
  std::fflush(stdout);
  Run plain = Measure(plainDir, delay,
                      [](TStoreTable& t, auto& r, Ui& ui) { return CheckIPsInOrder(t, r, ui); });
  std::printf("  plain walk, one lookup after the other: %8.2f s, %zu lookups, %d changed\n",
              plain.seconds, plain.lookups, plain.result.changed);

  bool identical = ReadFolder(plainDir).size() == static_cast<size_t>(count);
  std::vector<Site> a = ReadFolder(plainDir), b = ReadFolder(concurrentDir);
  identical = identical && a.size() == b.size() && plain.messages == concurrent.messages;
  for (size_t i = 0; identical && i < a.size(); ++i)
    identical = a[i].url == b[i].url && a[i].ip == b[i].ip && a[i].ipChanged == b[i].ipChanged;
  std::printf("  speed-up: %.1fx; results identical: %s\n", plain.seconds / concurrent.seconds,
              identical ? "yes" : "NO");
  std::filesystem::remove_all(plainDir);
  std::filesystem::remove_all(concurrentDir);
  return identical ? 0 : 1;
}
