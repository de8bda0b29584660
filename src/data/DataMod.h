// TDM, the data module: the database "CC" on the program folder, the site table "cracks.DAT"
// shown through the view filter, the ISP table "isps.DAT", and their data sources.
//
// DataModuleCreate runs once at start: disconnect the database, point it at the program folder,
// connect it, apply the view filter and switch filtering on, open the site table, open the ISP
// table. The program never creates the tables; when they are missing, opening fails with the
// store's error, which start-up shows, and the program runs on with closed tables.
#pragma once

#include <string>

#include "data/DataSource.h"
#include "store/StoreQuery.h"
#include "store/StoreTb.h"

namespace quellor {

class TConfig;

class TDM {
 public:
  explicit TDM(TConfig& config);
  ~TDM();
  TDM(const TDM&) = delete;
  TDM& operator=(const TDM&) = delete;

  // The creation step. Errors propagate to start-up, which shows them and goes on.
  void DataModuleCreate();
  // Builds the view filter from the settings' three values and sets it on tblCracks; a text the
  // filter compiler rejects raises its 10051 error and leaves the previous filter in force.
  void ApplyFilter();

  TStoreDatabase db;
  TStoreTable tblCracks;
  TDataSource dsCracks;
  TStoreTable tblIsp;
  TDataSource dsIsp;
  // The one SQL query of the program, on the database "CC", shared by the exports and the SQL
  // files; no limit on its rows. Loading a new statement closes the result it holds.
  TStoreQuery qry1;
  // On qry1's result while one is open, on nothing otherwise: the grid shows query results
  // through it. It follows qry1 by itself (TStoreQuery::OnResultChange), so it never holds a
  // result that has been closed.
  TDataSource DataSourceQ1;

 private:
  TConfig& config_;
};

}  // namespace quellor
