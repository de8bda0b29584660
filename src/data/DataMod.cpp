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
  qry1.SetDatabaseName("CC");
  qry1.SetMaxRowCount(-1);
  qry1.OnResultChange = [this](TStoreTable* result) { DataSourceQ1.SetDataSet(result); };
}

TDM::~TDM() {
  qry1.OnResultChange = nullptr;
  DataSourceQ1.SetDataSet(nullptr);
  qry1.Close();
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

}  // namespace quellor
