// The CSV site import; see ImportSites.h.
#include "transfer/ImportSites.h"

#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "app/DialogFolders.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "store/api/StoreTb.h"
#include "transfer/CsvField.h"
#include "transfer/CsvRecords.h"

namespace quellor {

namespace {

// Steps of the progress window: every this many records.
constexpr size_t kProgressStep = 250;

// The person pressed Cancel in the progress window.
struct TImportCancelled {};

// Detaches the site table from its controls, switches its filter off and makes its primary
// index the active one for the time of the import; puts everything back as it was, and the
// cursor on the site that was current (when it is still shown), when it ends.
class TImportScope {
 public:
  explicit TImportScope(TStoreTable& sites)
      : sites_(sites),
        filtered_(sites.Filtered()),
        indexName_(sites.IndexName()),
        indexFields_(sites.IndexFieldNames()) {
    // A change the person has not posted yet is stored now, outside the import's transaction,
    // so that a rolled-back import never takes it along.
    if (sites_.State() == TDataSetState::Edit || sites_.State() == TDataSetState::Insert)
      sites_.Post();
    bookmark_ = sites_.GetBookmark();
    sites_.DisableControls();
    try {
      if (filtered_) sites_.SetFiltered(false);
      if (!indexFields_.empty() || !(indexName_.empty() || indexName_ == "Primary"))
        sites_.SetIndexName("");
    } catch (...) {
      Restore();
      throw;
    }
  }
  ~TImportScope() { Restore(); }
  TImportScope(const TImportScope&) = delete;
  TImportScope& operator=(const TImportScope&) = delete;

 private:
  void Restore() {
    if (restored_) return;
    restored_ = true;
    try {
      if (sites_.State() != TDataSetState::Browse && sites_.Active()) sites_.Cancel();
      if (!indexFields_.empty())
        sites_.SetIndexFieldNames(indexFields_);
      else if (sites_.IndexName() != indexName_)
        sites_.SetIndexName(indexName_);
      if (filtered_) sites_.SetFiltered(true);
      if (bookmark_.Valid()) {
        try {
          sites_.GotoBookmark(bookmark_);
        } catch (const std::exception&) {
          sites_.First();  // the site is gone or no longer shown
        }
      }
    } catch (const std::exception&) {
      // The table stays usable; the controls must come back whatever happened.
    }
    sites_.EnableControls();
  }

  TStoreTable& sites_;
  bool filtered_;
  std::string indexName_, indexFields_;
  TBookmark bookmark_;
  bool restored_ = false;
};

bool FileExists(const std::string& fileName) {
  struct stat st;
  return ::stat(fileName.c_str(), &st) == 0;
}

// Adds the sites of the records; returns how many were added. Runs inside the transaction.
// An error of one line as the person can find it in the file: "Line 4712 of sites.csv: ...",
// with ", field 'LastSent'" after the line when the message does not name the field itself.
std::string LineError(const std::string& fileName, size_t line, TStoreTable& sites, int field,
                      const std::string& message) {
  size_t slash = fileName.rfind('/');
  std::string text = "Line " + std::to_string(line) + " of " +
                     (slash == std::string::npos ? fileName : fileName.substr(slash + 1));
  if (field >= 0 && field < sites.FieldCount()) {
    std::string name = "'" + sites.Fields(field).FieldName() + "'";
    if (message.find("field " + name) == std::string::npos) text += ", field " + name;
  }
  return text + ": " + message;
}

int AddSites(TStoreTable& sites, Ui& ui, const std::string& fileName,
             const std::vector<TCsvRecord>& records) {
  const bool withProgress = records.size() > static_cast<size_t>(kImportProgressThreshold);
  std::unique_ptr<ProgressScope> progress;
  const std::string all = std::to_string(records.size());
  if (withProgress) {
    progress =
        std::make_unique<ProgressScope>(ui, "Importing sites", static_cast<int>(records.size()));
  }
  int added = 0;
  std::vector<std::string> key(1);
  const size_t fieldCount = static_cast<size_t>(std::max(sites.FieldCount(), 1));
  for (size_t i = 0; i < records.size(); ++i) {
    if (progress && i % kProgressStep == 0 &&
        progress->Step(static_cast<int>(i), std::to_string(i) + " of " + all + " lines"))
      throw TImportCancelled();
    // Field 0 of the split is GetCsvField(line, ',', 0), the Url.
    std::vector<std::string> values = SplitCsvFields(records[i].text, ',', fieldCount);
    key[0] = std::move(values[0]);
    if (sites.FindKey(key)) continue;  // a site with this Url exists: left as it is
    values[0] = std::move(key[0]);
    int field = -1;
    try {
      sites.Append();
      SetFieldsFromCsvValues(sites, values, &field);
      sites.Post();
    } catch (const std::exception& e) {
      throw std::runtime_error(LineError(fileName, records[i].line, sites, field, e.what()));
    }
    ++added;
  }
  if (progress && progress->Step(static_cast<int>(records.size()), all + " of " + all + " lines"))
    throw TImportCancelled();
  return added;
}

}  // namespace

TImportResult ImportSites(const TSiteTarget& target, Ui& ui, const std::string& fileName,
                          size_t maxLines) {
  TImportResult result;
  if (!FileExists(fileName)) {
    ui.ShowMessage(fileName + " does not exist.");
    return result;
  }
  auto busy = std::make_unique<BusyCursor>(ui);
  const std::vector<TCsvRecord> records = ReadCsvFile(fileName);
  if (records.size() > maxLines)
    throw std::runtime_error(fileName + " holds " + std::to_string(records.size()) +
                             " site lines; at most " + std::to_string(maxLines) +
                             " are imported at once. Split it into smaller files; no site was "
                             "imported");

  std::string error;
  bool cancelled = false;
  {
    TImportScope scope(target.sites);
    target.db.BeginTransaction();
    try {
      result.imported = AddSites(target.sites, ui, fileName, records);
      target.db.CommitTransaction();
      result.outcome = TImportOutcome::Imported;
    } catch (const TImportCancelled&) {
      cancelled = true;
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (result.outcome != TImportOutcome::Imported) {
      // No site of the file stays: the count reports what the table keeps, 0.
      try {
        if (target.sites.State() != TDataSetState::Browse) target.sites.Cancel();
      } catch (const std::exception&) {
        // the rollback below drops the record as well
      }
      if (target.db.InTransaction()) target.db.RollbackTransaction();
      result = {cancelled ? TImportOutcome::Cancelled : TImportOutcome::RolledBack, 0};
    }
  }
  // The table, its view and the cursor are back; then the messages.
  busy.reset();
  if (result.outcome == TImportOutcome::RolledBack) ui.ShowMessage(error);
  ui.ShowMessage(std::to_string(result.imported) + " sites imported");
  return result;
}

void ImportCSVfile1Click(const TSiteTarget& target, Ui& ui) {
  std::optional<std::string> file =
      ui.OpenFileDialog("", {{"CSV Files", "*.CSV"}, {"Text Files", "*.TXT"}, {"All Files", "*"}},
                        DialogFolder(kCsvFiles));
  if (!file) return;
  RememberDialogFolder(kCsvFiles, *file);
  ImportSites(target, ui, *file);
}

}  // namespace quellor
