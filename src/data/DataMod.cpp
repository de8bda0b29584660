#include "data/DataMod.h"

#include <iostream>
#include <optional>
#include <stdexcept>

#include "app/Config.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "data/ViewFilter.h"

namespace quellor {

namespace {

constexpr int kDamageCodes[] = {
    StoreCode::BlobEndPremature,         // 8711
    StoreCode::HeaderCorrupt,            // 8961
    StoreCode::RecordsCorrupt,           // 8962
    StoreCode::BlobBlocksCorrupt,        // 8963
    StoreCode::IndexPagesCorrupt,        // 8965
    StoreCode::ReadError,                // 9217
    StoreCode::WriteError,               // 9218
    StoreCode::InvalidBlobOffset,        // 9998
    StoreCode::InvalidIndexFieldNumber,  // 10023
    StoreCode::InvalidBlobLength,        // 10029
};

// Restructures a closed table with its loaded, changed definitions: language and sort id kept,
// not encrypted, BLOB blocks of 512 bytes, the last logical id kept, the old files kept as
// backups.
void RestructureTo(TStoreTable& table, int major, int minor, const std::string& description) {
  table.RestructureIndexDefs().LoadFromTable();  // unchanged
  table.Restructure(0, 0, major, minor, false, "", description, 512, -1, false);
}

bool IsVersion(TStoreTable& table, int major, int minor) {
  return table.UserMajorVersion() == major && table.UserMinorVersion() == minor;
}

}  // namespace

bool IsDamageCode(int code) {
  for (int c : kDamageCodes)
    if (c == code) return true;
  return false;
}

TDM::TDM(TConfig& config, Ui* ui) : config_(config), ui_(ui) {
  db.SetDatabaseName("CC");
  tblCracks.SetDatabaseName("CC");
  tblCracks.SetTableName("cracks.DAT");
  tblIsp.SetDatabaseName("CC");
  tblIsp.SetTableName("isps.DAT");
  // A new site is live (Killed false, so the default view shows it) with no priority yet, and
  // is stored only with a Url.
  tblCracks.OnNewRecord = [](TStoreTable& t) {
    t.FieldByName("Killed").SetAsBoolean(false);
    t.FieldByName("Priority").Clear();
  };
  tblCracks.BeforePost = [](TStoreTable& t) {
    if (t.FieldByName("Url").AsString().find_first_not_of(" \t") == std::string::npos)
      throw std::runtime_error(kSiteNeedsUrl);
  };
  dsCracks.SetDataSet(&tblCracks);
  dsIsp.SetDataSet(&tblIsp);
  qry1.SetDatabaseName("CC");
  qry1.SetMaxRowCount(-1);
  DataSourceQ1.SetDataSet(&qry1);
}

TDM::~TDM() {
  DataSourceQ1.SetDataSet(nullptr);
  qry1.Close();
  dsCracks.SetDataSet(nullptr);
  dsIsp.SetDataSet(nullptr);
}

void TDM::DataModuleCreate() {
  db.SetConnected(false);
  db.SetDirectory(ProgramFolder());
  UpgradeTables();
  db.SetConnected(true);
  ApplyFilter();
  tblCracks.SetFiltered(true);
  OpenWithRepair(tblCracks);
  tblIsp.Open();
}

void TDM::ApplyFilter() {
  tblCracks.SetFilter(ViewFilterText(config_));
}

void TDM::UpgradeTables() {
  // A restructure copies every record: a busy cursor, and the window keeps repainting.
  std::optional<BusyCursor> busy;
  if (ui_) {
    busy.emplace(*ui_);
    auto repaint = [this](TStoreTable&, int, int16_t) { ui_->ProcessEvents(); };
    tblCracks.OnRestructureProgress = repaint;
    tblIsp.OnRestructureProgress = repaint;
  }
  try {
    tblCracks.Close();
    if (IsVersion(tblCracks, 1, 0)) {
      TRestructureFieldDefs& fields = tblCracks.RestructureFieldDefs();
      fields.LoadFromTable();
      fields.Add("DMCAUrls", TFieldType::Blob, 0, false, "", "", "", "", TCharCase::Unchanged, 25);
      RestructureTo(tblCracks, 1, 1, "");
    }
    if (IsVersion(tblCracks, 1, 1)) {
      TRestructureFieldDefs& fields = tblCracks.RestructureFieldDefs();
      fields.LoadFromTable();
      // Position 23 counted from 1: after LastSent, before Priority.
      fields.Insert(22, "LastDMCASent", TFieldType::DateTime, 0, false, "", "", "", "",
                    TCharCase::Unchanged, 26);
      RestructureTo(tblCracks, kSiteTableMajor, kSiteTableMinor, "Cracks");
    }
    tblIsp.Close();
    if (IsVersion(tblIsp, 1, 0)) {
      TRestructureFieldDefs& fields = tblIsp.RestructureFieldDefs();
      fields.LoadFromTable();
      fields.Items(0).Size = 25;  // Domain
      RestructureTo(tblIsp, kIspTableMajor, kIspTableMinor, "ISPs");
    }
  } catch (const EStoreEngineError& e) {
    Report(e.ErrorCode() == StoreCode::AccessDenied ? kDatabaseUpdateFailed : e.what());
  } catch (const std::exception& e) {
    Report(e.what());
  }
}

void TDM::OpenWithRepair(TStoreTable& table) {
  try {
    table.Open();
    return;
  } catch (const EStoreEngineError& e) {
    if (!IsDamageCode(e.ErrorCode())) return;  // stays closed, without a message
  }
  {
    std::optional<BusyCursor> busy;
    if (ui_) {
      busy.emplace(*ui_);
      table.OnRepairProgress = [this](TStoreTable&, int, int16_t) { ui_->ProcessEvents(); };
    }
    table.Repair();
  }
  table.Open();
}

void TDM::Report(const std::string& text) {
  if (ui_)
    ui_->ShowMessage(text);
  else
    std::cerr << text << "\n";
}

std::string TDM::GetEmails(const std::string& host) {
  // Refreshed before moving to the first record, so that a record another user saved ahead
  // of the cached first one is visited too.
  tblIsp.Refresh();
  tblIsp.First();
  std::string emails;
  for (; !tblIsp.Eof(); tblIsp.Next()) {
    std::string domain = tblIsp.FieldByName("Domain").AsString();
    if (!domain.empty() && host.find(domain) != std::string::npos)
      emails = tblIsp.FieldByName("Emails").AsString();
  }
  return emails;
}

}  // namespace quellor
