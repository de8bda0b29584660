#include "data/DataMod.h"

#include "app/Config.h"
#include "app/Include.h"
#include "data/ViewFilter.h"

namespace quellor {

TDM::TDM(TConfig& config) : config_(config) {
  db.SetDatabaseName("CC");
  tblCracks.SetDatabaseName("CC");
  tblCracks.SetTableName("cracks.DAT");
  tblIsp.SetDatabaseName("CC");
  tblIsp.SetTableName("isps.DAT");
  dsCracks.SetDataSet(&tblCracks);
  dsIsp.SetDataSet(&tblIsp);
}

TDM::~TDM() {
  dsCracks.SetDataSet(nullptr);
  dsIsp.SetDataSet(nullptr);
}

void TDM::DataModuleCreate() {
  db.SetConnected(false);
  db.SetDirectory(ProgramFolder());
  db.SetConnected(true);
  ApplyFilter();
  tblCracks.SetFiltered(true);
  tblCracks.Open();
  tblIsp.Open();
}

void TDM::ApplyFilter() {
  tblCracks.SetFilter(ViewFilterText(config_));
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
