// The front end's database (TStoreDatabase, StoreTb.h): a named database folder (or the
// in-memory database), connected to the engine folder of its universal name, the datasets open
// on it (which keep it connected), and its transaction.
#include <cerrno>
#include <cstdlib>

#include "store/api/StoreTb.h"
#include "store/api/StoreTbSupport.h"
#include "store/engine/DataSession.h"
#include "store/format/AsciiText.h"
#include "store/os/PhysicalFile.h"

namespace quellor {

// ---- Database ---------------------------------------------------------------------------------

TStoreDatabase::TStoreDatabase(TStoreSession& session) : session_(session) {
  session_.Register(this);
}

TStoreDatabase::~TStoreDatabase() {
  for (TStoreDBDataSet* dataSet : dataSets_) dataSet->database_ = nullptr;
  session_.Unregister(this);
}

void TStoreDatabase::SetKeepConnection(bool on) {
  keepConnection_ = on;
  if (!on && connected_ && dataSets_.empty()) Close();
}

// ---- Datasets on a database -------------------------------------------------------------------

TStoreDBDataSet::~TStoreDBDataSet() {
  DetachDatabase();
}

void TStoreDBDataSet::AttachDatabase() {
  TStoreDatabase* db = session_.FindDatabase(databaseName_);
  if (db == database_) return;
  DetachDatabase();
  if (!db) return;
  database_ = db;
  db->dataSets_.push_back(this);
}

void TStoreDBDataSet::ReleaseUnusedDatabase() {
  TStoreDatabase* db = session_.FindDatabase(databaseName_);
  if (db && db->connected_ && db->dataSets_.empty() && !db->keepConnection_ && !db->disconnecting_)
    db->Close();
}

void TStoreDBDataSet::DetachDatabase() {
  TStoreDatabase* db = database_;
  if (!db) return;
  database_ = nullptr;
  std::erase(db->dataSets_, this);
  if (db->connected_ && db->dataSets_.empty() && !db->keepConnection_ && !db->disconnecting_)
    db->Close();
}

void TStoreDatabase::SetDatabaseName(const std::string& name) {
  if (connected_) Close();
  databaseName_ = name;
}

void TStoreDatabase::SetDirectory(const std::string& directory) {
  if (connected_) Close();
  directory_ = directory;
}

bool TStoreDatabase::IsMemory() const {
  return AsciiLower(TrimBlanks(databaseName_)) == "memory";
}

void TStoreDatabase::SetConnected(bool on) {
  if (on == connected_) return;
  if (!on) {
    // Its datasets close first (each leaves the list as it closes).
    disconnecting_ = true;
    struct TDone {
      bool& flag;
      ~TDone() { flag = false; }
    } done{disconnecting_};
    while (!dataSets_.empty()) {
      TStoreDBDataSet* dataSet = dataSets_.back();
      dataSet->Close();
      if (!dataSets_.empty() && dataSets_.back() == dataSet) dataSets_.pop_back();
      dataSet->database_ = nullptr;
    }
    // A transaction not committed when its database goes is rolled back.
    if (InTransaction()) dataDirectory_->RollbackTransaction();
    dataDirectory_.reset();  // open tables keep their folder object alive
    connected_ = false;
    return;
  }
  session_.SetActive(true);
  if (BeforeConnect) BeforeConnect(*this);
  if (IsMemory()) {
    dataDirectory_ = session_.DirectoryFor("", true);
  } else {
    // The universal name: two spellings of one folder are one database folder.
    const std::string universal = UniversalFolder(directory_);
    if (universal.empty()) {
      const int error = errno;
      const std::string folder = TrimBlanks(directory_);
      throw EStoreEngineError(OsErrorCode(error), {folder.empty() ? std::string(".") : folder});
    }
    dataDirectory_ = session_.DirectoryFor(universal, false);
  }
  connected_ = true;
}

std::shared_ptr<TDataDirectory> TStoreDatabase::DataDirectory() {
  if (!connected_) Open();
  return dataDirectory_;
}

bool TStoreDatabase::InTransaction() {
  return connected_ && dataDirectory_ && dataDirectory_->InTransaction();
}

void TStoreDatabase::BeginTransaction() {
  auto directory = DataDirectory();
  if (directory->InTransaction())
    throw EDatabaseError(DatasetText::TransactionActive(databaseName_));
  directory->BeginTransaction();
}

void TStoreDatabase::CommitTransaction() {
  if (!InTransaction()) throw EDatabaseError(DatasetText::NoTransaction(databaseName_));
  dataDirectory_->CommitTransaction();
}

void TStoreDatabase::RollbackTransaction() {
  if (!InTransaction()) throw EDatabaseError(DatasetText::NoTransaction(databaseName_));
  dataDirectory_->RollbackTransaction();
}

}  // namespace quellor
