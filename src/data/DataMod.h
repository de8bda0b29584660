// TDM, the data module: the database "CC" on the program folder, the site table "cracks.DAT"
// shown through the view filter, the ISP table "isps.DAT", and their data sources.
//
// DataModuleCreate runs once at start, in this order: disconnect the database, point it at the
// program folder, bring older tables to the current user versions (UpgradeTables), connect it,
// apply the view filter and switch filtering on, open the site table repairing it once when its
// files are damaged (OpenWithRepair), open the ISP table. The program never creates the tables;
// when they are missing, the upgrade's version check reports the store's error in a message box,
// the site table stays closed without a further message, and opening the ISP table fails with
// the store's error, which start-up shows; the program runs on with closed tables.
//
// User versions (UserMajorVersion.UserMinorVersion in each table's header) and what the upgrade
// does to each older one:
//   site 1.0  no DMCAUrls          -> DMCAUrls (BLOB, field number 25) added at the end -> 1.1
//   site 1.1  no LastDMCASent      -> LastDMCASent (date-time, number 26) inserted as the 23rd
//                                     field, after LastSent -> 1.2, description "Cracks"
//   ISP  1.0  Domain 20 characters -> Domain widened to 25 -> 1.1, description "ISPs"
// The restructure carries every existing field's values over by field number, leaves the new
// fields empty and keeps the old files as ".DBK", ".IBK" and ".BBK". Any other version (a newer
// one, say 2.0) is left as it is.
#pragma once

#include <string>

#include "data/DataSource.h"
#include "store/api/StoreQuery.h"
#include "store/api/StoreTb.h"

namespace quellor {

class TConfig;
class Ui;

// The current user versions of the program's tables.
inline constexpr int kSiteTableMajor = 1, kSiteTableMinor = 2;
inline constexpr int kIspTableMajor = 1, kIspTableMinor = 1;

// The message shown when the upgrade meets a table that another program or user holds (engine
// error 11013).
inline constexpr const char* kDatabaseUpdateFailed =
    "Database Update Failed. This new version requires database updates. Make sure no one else "
    "is using the software and restart.";

// The error of storing a site without a Url (blank or empty).
inline constexpr const char* kSiteNeedsUrl =
    "A site needs a Url. Enter one, or press Esc to discard the new site.";

// Whether an engine error code tells of damaged table files, after which the site table is
// repaired and opened again: 8711, 8961, 8962, 8963, 8965, 9217, 9218, 9998, 10023, 10029.
bool IsDamageCode(int code);

class TDM {
 public:
  // `ui` shows the upgrade's message boxes; without one they go to the standard error stream.
  explicit TDM(TConfig& config, Ui* ui = nullptr);
  TDM(TConfig& config, Ui& ui) : TDM(config, &ui) {}
  ~TDM();
  TDM(const TDM&) = delete;
  TDM& operator=(const TDM&) = delete;

  // The creation step. The upgrade reports its own failures; an error of opening the tables
  // propagates to start-up, which shows it and goes on.
  void DataModuleCreate();
  // Builds the view filter from the settings' three values and sets it on tblCracks; a text the
  // filter compiler rejects raises its 10051 error and leaves the previous filter in force.
  void ApplyFilter();
  // The Emails of the ISP record whose Domain occurs in `host` (case-sensitive, anywhere in it;
  // an empty Domain never matches); of several, the last in the ISP table's index order; empty
  // when none matches. Refreshes the ISP table first, so records other users saved are seen,
  // and leaves it past its last record.
  std::string GetEmails(const std::string& host);

  // Brings both tables to the current user versions (see above), in one protected block: the
  // first error ends it and skips the rest (an upgrade failing on the site table leaves the ISP
  // table alone). Engine error 11013 (another program holds a table) shows
  // kDatabaseUpdateFailed, any other error its own text, in a plain message box. Never throws.
  void UpgradeTables();
  // Opens the table; when that fails with a damage code (IsDamageCode) the table is repaired and
  // opened again, and an error of that second open (or of the repair) propagates. An engine
  // error with any other code is dropped: the table stays closed and nothing is shown. Errors
  // that are not engine errors propagate.
  void OpenWithRepair(TStoreTable& table);

  TStoreDatabase db;
  TStoreTable tblCracks;
  TDataSource dsCracks;
  TStoreTable tblIsp;
  TDataSource dsIsp;
  // The one SQL query of the program, on the database "CC", shared by the exports and the SQL
  // files; no limit on its rows. Loading a new statement closes the result it holds.
  TStoreQuery qry1;
  // Bound to qry1 for good: the grid shows query results through it. The query tells it as its
  // results open and close, so it never holds a result that has been closed.
  TDataSource DataSourceQ1;

 private:
  void Report(const std::string& text);

  TConfig& config_;
  Ui* ui_;
};

}  // namespace quellor
