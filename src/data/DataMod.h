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
  // The Emails of the ISP record whose Domain occurs in `host` (case-sensitive, anywhere in it;
  // an empty Domain never matches); of several, the last in the ISP table's index order; empty
  // when none matches. Refreshes the ISP table first, so records other users saved are seen,
  // and leaves it past its last record.
  std::string GetEmails(const std::string& host);

  TStoreDatabase db;
  TStoreTable tblCracks;
  TDataSource dsCracks;
  TStoreTable tblIsp;
  TDataSource dsIsp;
  // The SQL query qry1 and its source DataSourceQ1 join these with the SQL dialect.

 private:
  TConfig& config_;
};

}  // namespace quellor
