// The site list exports; see Exports.h.
#include "transfer/Exports.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "app/DialogFolders.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "platform/Files.h"
#include "platform/Shell.h"
#include "store/api/StoreDate.h"
#include "store/api/StoreError.h"
#include "store/api/StoreQuery.h"
#include "store/api/StoreTb.h"

namespace quellor {

namespace {

// Runs a SELECT of one count and returns it; NULL (no row passed) reads as 0. The query is
// closed afterwards.
int64_t QueryCount(TStoreQuery& qry1, const std::string& sql, const char* column) {
  qry1.Close();
  qry1.SetSQL(sql);
  qry1.Open();
  int64_t count = qry1.FieldByName(column).AsInteger();
  qry1.Close();
  return count;
}

// Every value of the query's first column, in the result's order; the query is closed after.
std::vector<std::string> QueryColumn(TStoreQuery& qry1, const std::string& sql) {
  qry1.Close();
  qry1.SetSQL(sql);
  qry1.Open();
  std::vector<std::string> values;
  for (qry1.First(); !qry1.Eof(); qry1.Next()) values.push_back(qry1.Fields(0).AsString());
  qry1.Close();
  return values;
}

// Detaches a dataset from its controls for a walk; attaches them again when it ends, also
// when an error ends it.
class TDetachedControls {
 public:
  explicit TDetachedControls(TStoreTable& dataSet) : dataSet_(dataSet) {
    dataSet_.DisableControls();
  }
  ~TDetachedControls() { dataSet_.EnableControls(); }
  TDetachedControls(const TDetachedControls&) = delete;
  TDetachedControls& operator=(const TDetachedControls&) = delete;

 private:
  TStoreTable& dataSet_;
};

bool FileExists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

bool HasExtension(const std::string& path) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
}

}  // namespace

std::string ReplaceQuestion(const std::string& fileName) {
  return fileName + " already exists.\nDo you want to replace it?";
}

TExportFormats SessionFormats(TStoreSession& session) {
  TExportFormats formats;
  formats.shortDate = session.ShortDateFormat();
  formats.timeSeparator = session.TimeSeparator();
  formats.decimalSeparator = session.DecimalSeparator();
  return formats;
}

std::string FieldText(const TStoreField& field, const TExportFormats& formats) {
  if (field.DataType() == TFieldType::Blob || field.DataType() == TFieldType::Memo ||
      field.DataType() == TFieldType::Graphic || field.DataType() == TFieldType::FmtMemo ||
      field.DataType() == TFieldType::Ole || field.DataType() == TFieldType::TypedBinary)
    return field.AsString();
  if (field.IsNull()) return {};
  switch (field.DataType()) {
    case TFieldType::Boolean:
      return field.AsBoolean() ? "True" : "False";
    case TFieldType::SmallInt:
    case TFieldType::Integer:
    case TFieldType::Word:
    case TFieldType::AutoInc:
      return std::to_string(field.AsInteger());
    case TFieldType::Float:
    case TFieldType::Currency:
    case TFieldType::BCD: {
      std::string text = field.AsString();
      for (char& c : text)
        if (c == '.') c = formats.decimalSeparator;
      return text;
    }
    case TFieldType::Date:
    case TFieldType::Time:
    case TFieldType::DateTime: {
      int32_t day = 0, ms = 0;
      SplitDateTime(field.AsDateTime(), day, ms);
      if (field.DataType() == TFieldType::Time) return FormatLongTime(ms, formats.timeSeparator);
      std::string text = FormatShortDate(day, formats.shortDate);
      if (field.DataType() == TFieldType::DateTime && ms != 0)
        text += " " + FormatLongTime(ms, formats.timeSeparator);
      return text;
    }
    default:
      return field.AsString();
  }
}

std::string CsvExportLine(TStoreTable& dataSet, const TExportFormats& formats) {
  std::string line;
  for (int i = 0; i < dataSet.FieldCount(); ++i) {
    if (i) line += ',';
    line += '"';
    for (char c : FieldText(dataSet.Fields(i), formats)) {
      if (c == '"') line += '"';
      line += c;
    }
    line += '"';
  }
  return line;
}

void WriteTextLines(const std::string& fileName, const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\r\n";
  if (!WriteWholeFile(fileName, bytes)) throw std::runtime_error("Cannot create file " + fileName);
}

std::vector<std::string> KilledSitesReport(TStoreQuery& qry1, bool DeadOnly,
                                           const std::string& today) {
  std::string killedSql = "SELECT Count(Url) As KillCount FROM Cracks WHERE Killed = True";
  if (DeadOnly) killedSql += " AND Dead = True";
  int64_t killCount = QueryCount(qry1, killedSql, "KillCount");
  int64_t liveCount = QueryCount(
      qry1, "SELECT Count(Url) As LiveCount FROM Cracks WHERE Killed <> True", "LiveCount");
  std::vector<std::string> lines = {
      "Last updated: " + today,
      "",
      "Killed sites starting as of 2001-07-20",
      "",
      "The following " + std::to_string(killCount) +
          " sites were listed in the Ostrel Quellor database.",
      "Due to the actions of the Ostrel, ISPs and/or others they are now dead.",
      "There are " + std::to_string(liveCount) + " sites left in the database.",
      "",
  };
  for (std::string& url :
       QueryColumn(qry1, "SELECT Url FROM Cracks WHERE Killed = True ORDER BY Url"))
    lines.push_back(std::move(url));
  return lines;
}

std::string Exportkilledsites(TStoreQuery& qry1, const std::string& killedSiteFolder,
                              bool DeadOnly) {
  int32_t day = 0, ms = 0;
  SplitDateTime(NowDateTime(), day, ms);
  std::string today = FormatShortDate(day, TStoreSession::Default().ShortDateFormat());
  std::vector<std::string> lines = KilledSitesReport(qry1, DeadOnly, today);
  std::string fileName = killedSiteFolder + "killedsites.txt";
  WriteTextLines(fileName, lines);
  return fileName;
}

void ExportKilledSitesCommand(TStoreQuery& qry1, const std::string& killedSiteFolder, Ui& ui) {
  std::string fileName;
  {
    BusyCursor busy(ui);
    fileName = Exportkilledsites(qry1, killedSiteFolder, false);
  }
  ui.ShowMessage("The killed sites report was written to " + fileName);
}

std::string Text2HtmlProgram(const std::string& exeFolder, const std::string& programFolder) {
  for (const std::string& folder : {exeFolder, programFolder}) {
    if (folder.empty()) continue;
    std::string candidate = folder + "Text2Html";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "Text2Html";
}

std::string Text2HtmlProgram() {
  return Text2HtmlProgram(ExecutableFolder(), ProgramFolder());
}

bool StartText2Html(const std::string& input, const std::string& output) {
  return StartDetached(Text2HtmlProgram(), {input, output});
}

void ExporttoHTML(TStoreQuery& qry1, const std::string& killedSiteFolder, Ui& ui,
                  const TConverterStart& startConverter) {
  BusyCursor busy(ui);
  auto convert = [&](const std::string& input, const std::string& output) {
    if (!startConverter(input, output))
      ui.MessageBox("Could not convert text", "Launch Error", MbButtons::Ok, MbIcon::None);
  };
  const std::string& folder = killedSiteFolder;
  WriteTextLines(folder + "cracksites.txt",
                 QueryColumn(qry1, "SELECT Url FROM Cracks WHERE Killed <> True ORDER BY Url"));
  convert(folder + "cracksites.txt", folder + "cracksites.html");
  Exportkilledsites(qry1, folder, true);
  convert(folder + "killedsites.txt", folder + "killedsites.html");
  ui.ShowMessage("The live sites were written to " + folder + "cracksites.txt and the killed " +
                 "sites report to " + folder + "killedsites.txt; cracksites.html and " +
                 "killedsites.html are made beside them");
}

void ExporttoCSV(TStoreTable* dataSet, Ui& ui) {
  std::optional<std::string> file =
      ui.SaveFileDialog("", {{"CSV Files", "*.CSV"}, {"Text Files", "*.TXT"}, {"All Files", "*"}},
                        DialogFolder(kCsvFiles), "Query.Csv");
  if (!file) return;
  RememberDialogFolder(kCsvFiles, *file);
  std::string fileName = HasExtension(*file) ? *file : *file + ".CSV";
  // The save dialog asked before replacing the file it was given; a name the extension was
  // added to is another file, which nobody asked about yet.
  if (fileName != *file && FileExists(fileName) &&
      ui.MessageBoxWithDefault(ReplaceQuestion(fileName), "Quellor", MbButtons::YesNo,
                               MbIcon::Question, MbResult::No) != MbResult::Yes)
    return;
  BusyCursor busy(ui);
  if (!dataSet || !dataSet->Active()) throw EDatabaseError(DatasetText::ClosedDataset);
  const TExportFormats formats = SessionFormats(TStoreSession::Default());
  std::vector<std::string> lines;
  {
    TDetachedControls detached(*dataSet);
    for (dataSet->First(); !dataSet->Eof(); dataSet->Next())
      lines.push_back(CsvExportLine(*dataSet, formats));
    dataSet->First();
  }
  WriteTextLines(fileName, lines);
}

}  // namespace quellor
