// SQL query files; see SqlFiles.h.
#include "transfer/SqlFiles.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "app/DialogFolders.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "data/DataMod.h"
#include "platform/Files.h"
#include "store/api/StoreQuery.h"

namespace quellor {

namespace {

const std::vector<FileFilter>& SqlFilters() {
  static const std::vector<FileFilter> filters = {
      {"SQL Files", "*.SQL"}, {"Text Files", "*.TXT"}, {"All Files", "*"}};
  return filters;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file the person chose, or nothing: a name without an extension that does not exist is
// tried with ".SQL" (the dialogs' default extension); a name that does not exist is no choice.
std::optional<std::string> ChooseSqlFile(Ui& ui) {
  std::optional<std::string> file = ui.OpenFileDialog("", SqlFilters(), DialogFolder(kSqlFiles));
  if (!file || file->empty()) return std::nullopt;
  RememberDialogFolder(kSqlFiles, *file);
  if (IsRegularFile(*file)) return file;
  size_t slash = file->rfind('/');
  size_t dot = file->rfind('.');
  bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  if (!hasExtension && IsRegularFile(*file + ".SQL")) return *file + ".SQL";
  return std::nullopt;
}

}  // namespace

void NewSQLfile(Ui& ui) {
  OpenInTextEditor(ui, "");
}

void EditSQLfile(Ui& ui) {
  std::optional<std::string> file = ChooseSqlFile(ui);
  if (!file) return;
  OpenInTextEditor(ui, *file);
}

void RunSQLText(TDM& dm, Ui& ui, const std::string& text) {
  std::string statement = text;
  if (statement.compare(0, 3, "\xEF\xBB\xBF") == 0) statement.erase(0, 3);
  // Read the kind first: a statement that does not parse fails here, before qry1 lets go of
  // the result the grid may be showing.
  TSqlStatementKind kind = SqlStatementKind(statement);
  BusyCursor busy(ui);
  // A statement that reads but fails as it runs (an unknown column, a missing table) must not
  // take the result on screen with it: the statement before it is run again.
  const std::string previous = dm.qry1.SQL();
  const bool wasOpen = dm.qry1.Active();
  auto restore = [&] {
    try {
      dm.qry1.SetSQL(previous);
      if (wasOpen) dm.qry1.Open();
    } catch (const std::exception&) {
      // the previous result cannot be had again: the grid shows no rows
    }
  };
  dm.qry1.SetSQL(statement);
  if (kind != TSqlStatementKind::Select) {
    try {
      dm.qry1.ExecuteStatement();
    } catch (...) {
      restore();
      throw;
    }
    return;
  }
  // A SELECT that reads for more than a second shows its progress; Cancel stops it and keeps
  // the rows found so far.
  const auto start = std::chrono::steady_clock::now();
  bool progressShown = false;
  dm.qry1.OnQueryProgress = [&](TStoreQuery&, int current, int percent, bool& abort) {
    if (!progressShown) {
      if (std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) return;
      ui.BeginProgress("Running SQL file", 100);
      progressShown = true;
    }
    if (ui.StepProgress(percent, std::to_string(current) + " records read")) abort = true;
  };
  try {
    dm.qry1.Open();
  } catch (...) {
    dm.qry1.OnQueryProgress = nullptr;
    if (progressShown) ui.EndProgress();
    restore();
    throw;
  }
  dm.qry1.OnQueryProgress = nullptr;
  if (progressShown) ui.EndProgress();
}

bool OpenSQLfile(TDM& dm, Ui& ui) {
  std::optional<std::string> file = ChooseSqlFile(ui);
  if (!file) return false;
  std::string text;
  if (!ReadWholeFile(*file, &text)) throw std::runtime_error("Cannot open file " + *file);
  RunSQLText(dm, ui, text);
  return true;
}

}  // namespace quellor
