// The DMCA Urls field of a site, expanded at 1,000 / 16,000 / 64,000 entries: the list is read
// for every DMCA notice and for the subject of every complaint, so its cost must grow in
// proportion to the number of entries. Prints, per size, the time to read the entries, to expand
// a subject (which reads them too) and to expand a DMCA template with "%urls%" and "%apps%", and
// the time per entry, which stays flat when the growth is linear. For contrast it also times the
// list cut entry by entry with GetCsvField (every entry scanned from the start of the text) at
// the smaller sizes, where that cut grows with the square of the size.
//
//   bench_dmca [--sizes 1000,16000,64000] [--field-by-field 1000,4000]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "notices/DmcaNotice.h"
#include "platform/Locale.h"
#include "transfer/CsvField.h"

using namespace quellor;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<int> ParseSizes(const char* text) {
  std::vector<int> sizes;
  for (const std::string& field : GetCsvFields(text, ','))
    if (!field.empty()) sizes.push_back(std::atoi(field.c_str()));
  return sizes;
}

// An ordinary list: an address, a kind, two titles (one quoted with a comma) per entry, entries
// on lines of their own; every title comes back many times.
std::string MakeDmcaUrls(int entries) {
  static const char* const kKinds[] = {"C", "S", "K", "W"};
  std::string text;
  for (int i = 0; i < entries; ++i) {
    text += "http://warez.example/files/page" + std::to_string(i) + ".html, " + kKinds[i % 4] +
            ", Photo Tool " + std::to_string(i % 500) + ", \"Office Suite, " +
            std::to_string(i % 300) + "\";\r\n";
  }
  return text;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

template <typename F>
double Time(F&& f) {
  const auto start = Clock::now();
  f();
  return Seconds(Clock::now() - start);
}

// The entries cut one by one, each GetCsvField scanning the text from its start.
size_t FieldByField(const std::string& text) {
  size_t count = 0;
  for (int n = 0;; ++n) {
    if (GetCsvField(text, ';', n).empty()) break;
    ++count;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {1000, 16000, 64000};
  std::vector<int> oldSizes = {1000, 4000};
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--sizes") sizes = ParseSizes(argv[i + 1]);
    if (option == "--field-by-field") oldSizes = ParseSizes(argv[i + 1]);
  }
  Locale::Override(LocaleInfo{'.', "UTF-8", "en", "US"});
  const TDmcaDate day{2024, 3, 1};
  const std::string dmcaTemplate =
      "Notice about %url% (%IP%), %date%\r\n\r\n%urls%Titles:\r\n%apps%Signed\r\n";

  std::printf("%8s %12s %12s %12s %14s\n", "entries", "read (s)", "subject (s)", "DMCA (s)",
              "DMCA/entry us");
  double firstPerEntry = 0;
  for (int n : sizes) {
    const TDmcaSite site{"http://warez.example/", "192.0.2.7", MakeDmcaUrls(n)};
    size_t entries = 0;
    const double read = Time([&] { entries = ParseDmcaUrls(site.DMCAUrls).size(); });
    std::string subject, notice;
    const double subjectTime = Time(
        [&] { subject = ExpandTemplateFor(site, "Software piracy notice: %url%", true, day); });
    const double dmca = Time([&] { notice = ExpandTemplateFor(site, dmcaTemplate, false, day); });
    if (entries != static_cast<size_t>(n)) {
      std::fprintf(stderr, "read %zu entries of %d\n", entries, n);
      return 1;
    }
    const double perEntry = dmca / n * 1e6;
    if (firstPerEntry == 0) firstPerEntry = perEntry;
    std::printf("%8d %12.4f %12.4f %12.4f %14.2f  (x%.2f per entry against %d)\n", n, read,
                subjectTime, dmca, perEntry, perEntry / firstPerEntry, sizes.front());
  }
  std::printf("\nFor contrast, the entries cut one by one with GetCsvField:\n");
  std::printf("%8s %12s %14s\n", "entries", "cut (s)", "per entry us");
  for (int n : oldSizes) {
    const std::string text = MakeDmcaUrls(n);
    size_t entries = 0;
    const double t = Time([&] { entries = FieldByField(text); });
    std::printf("%8d %12.4f %14.2f\n", n, t, t / n * 1e6);
    if (entries != static_cast<size_t>(n)) return 1;
  }
  return 0;
}
