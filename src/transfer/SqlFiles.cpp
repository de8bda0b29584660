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

namespace {

// Puts back the statement qry1 held before a run that failed, and its result when it had one,
// so the grid goes on showing it. A script is not run again (its changes would be made twice):
// after a failed run its result is gone and the grid shows no rows.
class TPreviousQuery {
 public:
  explicit TPreviousQuery(TStoreQuery& q)
      : q_(q), sql_(q.SQL()), script_(q.SQLScript()), open_(q.Active()) {}
  void Restore() {
    try {
      q_.SetSQLScript(script_);
      q_.SetSQL(sql_);
      if (open_ && !script_) q_.Open();
    } catch (const std::exception&) {
      // the previous result cannot be had again: the grid shows no rows
    }
  }

 private:
  TStoreQuery& q_;
  std::string sql_;
  bool script_;
  bool open_;
};

// Shows the progress of a long run: nothing for its first second, then a progress window.
class TLongRunProgress {
 public:
  TLongRunProgress(Ui& ui, const char* caption)
      : ui_(ui), caption_(caption), start_(std::chrono::steady_clock::now()) {}
  ~TLongRunProgress() {
    if (shown_) ui_.EndProgress();
  }
  TLongRunProgress(const TLongRunProgress&) = delete;
  TLongRunProgress& operator=(const TLongRunProgress&) = delete;
  // Returns true when the person pressed Cancel.
  bool Step(int percent, const std::string& text) {
    if (!shown_) {
      if (std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1)) return false;
      ui_.BeginProgress(caption_, 100);
      shown_ = true;
    }
    return ui_.StepProgress(percent, text);
  }

 private:
  Ui& ui_;
  const char* caption_;
  std::chrono::steady_clock::time_point start_;
  bool shown_ = false;
};

// The person's Cancel in the progress window of a script.
class EScriptCancelled : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file of several statements: qry1 runs it in script mode, opening the last SELECT's result
// when the script has a SELECT and executing it otherwise.
void RunSQLScript(TDM& dm, Ui& ui, const std::string& text,
                  const std::vector<TSqlScriptStatement>& statements) {
  // Every statement is read first: one that does not parse fails the file before anything
  // of it runs (and before qry1 lets go of the result on screen).
  bool select = false;
  for (const TSqlScriptStatement& s : statements)
    select = SqlStatementKind(s.Text) == TSqlStatementKind::Select || select;
  BusyCursor busy(ui);
  TStoreQuery& q = dm.qry1;
  TPreviousQuery previous(q);
  const int count = static_cast<int>(statements.size());
  {
    TLongRunProgress progress(ui, "Running SQL file");
    q.OnScriptError = [&](TStoreQuery& sender, const std::exception& e, bool& abort) {
      const TSqlScriptStatement& s = sender.ScriptStatement();
      const std::string text = "Statement " + std::to_string(s.Number) + " of " +
                               std::to_string(count) + " (line " + std::to_string(s.Line) +
                               ") failed:\n" + e.what() + "\n\nGo on with the rest of the script?";
      abort = ui.MessageBoxWithDefault(text, "Quellor", MbButtons::YesNo, MbIcon::Error,
                                       MbResult::No) != MbResult::Yes;
    };
    q.OnSaveProgress = [&](TStoreQuery&, int done, int16_t percent) {
      if (done < count && progress.Step(percent, std::to_string(done) + " of " +
                                                     std::to_string(count) + " statements run"))
        throw EScriptCancelled("The SQL file was stopped after statement " + std::to_string(done) +
                               " of " + std::to_string(count) + ".");
    };
    try {
      q.SetSQLScript(true);
      q.SetSQL(text);
      if (select)
        q.Open();
      else
        q.ExecuteStatement();
    } catch (const EScriptCancelled& cancelled) {
      q.OnScriptError = nullptr;
      q.OnSaveProgress = nullptr;
      previous.Restore();
      ui.ShowMessage(cancelled.what());
      return;
    } catch (...) {
      q.OnScriptError = nullptr;
      q.OnSaveProgress = nullptr;
      previous.Restore();
      throw;
    }
  }
  q.OnScriptError = nullptr;
  q.OnSaveProgress = nullptr;
}

}  // namespace

void RunSQLText(TDM& dm, Ui& ui, const std::string& text) {
  std::string statement = text;
  if (statement.compare(0, 3, "\xEF\xBB\xBF") == 0) statement.erase(0, 3);
  const std::vector<TSqlScriptStatement> statements = SplitSqlScript(statement);
  if (statements.size() > 1) return RunSQLScript(dm, ui, statement, statements);
  // Read the kind first: a statement that does not parse fails here, before qry1 lets go of
  // the result the grid may be showing.
  TSqlStatementKind kind = SqlStatementKind(statement);
  BusyCursor busy(ui);
  // A statement that reads but fails as it runs (an unknown column, a missing table) must not
  // take the result on screen with it: the statement before it is run again.
  TPreviousQuery previous(dm.qry1);
  dm.qry1.SetSQLScript(false);
  dm.qry1.SetSQL(statement);
  if (kind != TSqlStatementKind::Select) {
    try {
      dm.qry1.ExecuteStatement();
    } catch (...) {
      previous.Restore();
      throw;
    }
    return;
  }
  // A SELECT that reads for more than a second shows its progress; Cancel stops it and keeps
  // the rows found so far.
  {
    TLongRunProgress progress(ui, "Running SQL file");
    dm.qry1.OnQueryProgress = [&](TStoreQuery&, int current, int percent, bool& abort) {
      if (progress.Step(percent, std::to_string(current) + " records read")) abort = true;
    };
    try {
      dm.qry1.Open();
    } catch (...) {
      dm.qry1.OnQueryProgress = nullptr;
      previous.Restore();
      throw;
    }
  }
  dm.qry1.OnQueryProgress = nullptr;
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
