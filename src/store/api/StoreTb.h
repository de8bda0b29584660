// The front end of the table store: what the program uses to keep its tables.
//
//   TStoreSession   lock and flush settings, table passwords; one "Default" session per process
//   TStoreDatabase  a named database: a folder, or the in-memory database "MEMORY"
//   TStoreTable     a cursor over a table's records with typed fields, navigation and editing,
//                   and the table operations (create, empty, delete, rename, user versions)
//   TStoreField     one field of the current record, read and written as string, integer,
//                   boolean, float or date-time
//
// Every failure of the engine raises EStoreEngineError; the dataset layer's own checks raise
// EDatabaseError with its text (StoreError.h). Text values are bytes of the system code page.
//
// This header, with StoreTypes.h, StoreError.h and StoreDate.h, is all of the store that code
// outside it sees; the engine's classes appear here only by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/api/StoreDate.h"
#include "store/api/StoreError.h"
#include "store/api/StoreTypes.h"

namespace quellor {

inline constexpr const char* kEngineVersion = "2.12";

class TStoreDatabase;
class TStoreDBDataSet;
class TStoreField;
class TStoreTable;
class TCursorOrder;
class TKeyLayout;
class TExprFilter;
class TExprRecordSet;
// The engine (DataSession.h, DataTable.h, DataFile.h).
class TDataSession;
class TDataDirectory;
class TDataTable;
struct TDataHeader;
class TStoreInternals;

// New values of a record's BLOB fields, by field position (as DataTable.h names it).
using TBlobChanges = std::map<size_t, std::string>;

// ---- Session ----------------------------------------------------------------------------------

class TStoreSession {
 public:
  TStoreSession();
  ~TStoreSession();
  TStoreSession(const TStoreSession&) = delete;
  TStoreSession& operator=(const TStoreSession&) = delete;

  // The process's session, named "Default"; databases and tables that name none use it.
  static TStoreSession& Default();

  const std::string& SessionName() const { return sessionName_; }
  // Naming a session by hand turns AutoSessionName off.
  void SetSessionName(const std::string& name);
  // On: the session takes a name of its own, "Session" and the lowest number from 1 up that
  // no other session of the process carries, and keeps it while it stays on.
  bool AutoSessionName() const { return autoSessionName_; }
  void SetAutoSessionName(bool on);
  // A session becomes active when it is first used (a database connects, a table or query
  // opens) or when Active is set; OnStartup is told each time it becomes active. Setting
  // Active false disconnects every database of the session, closing their datasets, and
  // drops the connections it kept.
  bool Active() const { return active_; }
  void SetActive(bool on);
  std::function<void(TStoreSession& sender)> OnStartup;
  std::string EngineVersion() const { return kEngineVersion; }

  int LockRetryCount() const;
  void SetLockRetryCount(int count);
  int LockWaitTime() const;
  void SetLockWaitTime(int ms);
  // The name that tells other users who is editing a record this session holds (the user the
  // program runs as, unless set).
  std::string UserName() const;
  void SetUserName(const std::string& name);
  bool ForceBufferFlush() const;
  void SetForceBufferFlush(bool on);
  bool StrictChangeDetection() const;
  void SetStrictChangeDetection(bool on);
  // Whether records and index pages are read through a memory mapping of the table files on a
  // local file system (on by default; network shares are always read with read calls).
  bool MappedReads() const;
  void SetMappedReads(bool on);
  // The language of tables created in the session. A new session takes the person's language
  // (UserDefaultLanguageID); 0, byte order, when it has none the store knows.
  int LanguageID() const;
  void SetLanguageID(int id);
  int SortID() const;
  void SetSortID(int id);
  const std::string& PrivateDir() const { return privateDir_; }
  void SetPrivateDir(const std::string& dir) { privateDir_ = dir; }
  // Datasets that name a folder instead of a database connect to it through the session. With
  // KeepConnections (the default) the session keeps such a connection after the last of its
  // datasets closed; without, it goes with that dataset. Switching it off drops the kept ones.
  bool KeepConnections() const { return keepConnections_; }
  void SetKeepConnections(bool on);
  // The folders (universal names, with a trailing separator) the session is connected to now,
  // through databases or datasets; the in-memory database is "MEMORY".
  std::vector<std::string> ConnectedFolders() const;
  // The formats filter constants are read with: the decimal separator of numbers, and the
  // order of year, month and day with the date and time separators of date and time texts.
  // The C locale's by default: "." and "yyyy-mm-dd", "-", ":". Filters compiled later use them.
  char DecimalSeparator() const { return decimalSeparator_; }
  void SetDecimalSeparator(char separator) { decimalSeparator_ = separator; }
  const std::string& ShortDateFormat() const { return shortDateFormat_; }
  void SetShortDateFormat(const std::string& format) { shortDateFormat_ = format; }
  char DateSeparator() const { return dateSeparator_; }
  void SetDateSeparator(char separator) { dateSeparator_ = separator; }
  char TimeSeparator() const { return timeSeparator_; }
  void SetTimeSeparator(char separator) { timeSeparator_ = separator; }

  // Passwords of encrypted tables known to the session.
  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();
  std::vector<std::string> Passwords() const;
  // Asked when an encrypted table's password is not known: the handler adds one (AddPassword)
  // and leaves Continue true to try again, or sets it false to give up (10498). The program's
  // password dialog is installed here; without a handler the open fails at once.
  std::function<void(TStoreSession& sender, bool& Continue)> OnPassword;

  // The database of that name (without regard to case); null when none is registered.
  TStoreDatabase* FindDatabase(const std::string& name) const;

 private:
  friend class TStoreDatabase;
  friend class TStoreTable;
  friend class TStoreInternals;

  TDataSession& Engine() { return *engine_; }
  // The engine folder object for a folder's universal name (shared by databases on one folder).
  std::shared_ptr<TDataDirectory> DirectoryFor(const std::string& universalName, bool inMemory);
  void Register(TStoreDatabase* database);
  void Unregister(TStoreDatabase* database);
  // The engine folder a dataset naming a folder uses; kept with KeepConnections.
  std::shared_ptr<TDataDirectory> FolderConnection(const std::string& universalName, bool inMemory);

  std::string sessionName_ = "Default";
  bool autoSessionName_ = false;
  bool active_ = false;
  std::vector<std::shared_ptr<TDataDirectory>> keptFolders_;
  std::string privateDir_;
  bool keepConnections_ = true;
  char decimalSeparator_ = '.';
  std::string shortDateFormat_ = "yyyy-mm-dd";
  char dateSeparator_ = '-';
  char timeSeparator_ = ':';
  std::unique_ptr<TDataSession> engine_;
  std::vector<TStoreDatabase*> databases_;
  std::map<std::string, std::weak_ptr<TDataDirectory>> directories_;
  mutable std::mutex mutex_;
};

// The language id of a locale name as the C library gives it ("de_DE.UTF-8", "fr_CA",
// "C"): the table language of that language and territory, or of the language alone when the
// territory is not among the table languages; 0 for "C", "POSIX", a language the store does
// not know, and a double-byte code page (Shift_JIS, GBK, Big5, EUC-KR and their kin).
int LanguageIDOfLocale(const std::string& localeName);
// The person's default table language: LanguageIDOfLocale of the collation locale in force.
int UserDefaultLanguageID();

// ---- Database ---------------------------------------------------------------------------------

class TStoreDatabase {
 public:
  explicit TStoreDatabase(TStoreSession& session = TStoreSession::Default());
  ~TStoreDatabase();
  TStoreDatabase(const TStoreDatabase&) = delete;
  TStoreDatabase& operator=(const TStoreDatabase&) = delete;

  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  const std::string& Directory() const { return directory_; }
  // The folder; a connected database is disconnected first.
  void SetDirectory(const std::string& directory);
  bool Connected() const { return connected_; }
  void SetConnected(bool on);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }
  // With KeepConnection (the default) the database stays connected until it is closed; without
  // it, it disconnects when its last open dataset closes (and at once when it has none open
  // as it is switched off). Closing the database closes its open datasets first.
  bool KeepConnection() const { return keepConnection_; }
  void SetKeepConnection(bool on);
  // Whether other databases of the session on the same folder may share this one's engine
  // folder object (with its transaction). The store shares the folder object of one folder
  // among all databases and datasets of a session in any case; the flag is kept for callers.
  bool HandleShared() const { return handleShared_; }
  void SetHandleShared(bool on) { handleShared_ = on; }
  // The datasets open on the database now.
  int DataSetCount() const { return static_cast<int>(dataSets_.size()); }
  std::string SessionName() const { return session_.SessionName(); }
  TStoreSession& Session() { return session_; }
  std::string EngineVersion() const { return kEngineVersion; }
  // The in-memory database: its name is "MEMORY" (any case).
  bool IsMemory() const;
  std::function<void(TStoreDatabase& sender)> BeforeConnect;

  // The transaction of the database, covering every table open in it (and those opened while
  // it runs): changes stay in the tables' caches, each table holds its data write lock (other
  // programs read the committed state but wait to write) and keeps its record locks until
  // CommitTransaction writes everything or RollbackTransaction drops it. A table closed
  // meanwhile stays open inside the engine until then. BeginTransaction fails with "Database
  // %s already has an active transaction." while one runs, and with 10249 (no transaction
  // then) when a table's data write lock cannot be had; CommitTransaction and
  // RollbackTransaction without one fail with "Database %s has no active transaction.".
  void BeginTransaction();
  void CommitTransaction();
  void RollbackTransaction();
  bool InTransaction();

 private:
  friend class TStoreTable;
  friend class TStoreDBDataSet;
  friend class TStoreInternals;

  // The engine folder of a connected database (connecting it when needed).
  std::shared_ptr<TDataDirectory> DataDirectory();

  TStoreSession& session_;
  std::string databaseName_;
  std::string directory_;
  bool connected_ = false;
  bool keepConnection_ = true;
  bool handleShared_ = false;
  bool disconnecting_ = false;
  std::vector<TStoreDBDataSet*> dataSets_;
  std::shared_ptr<TDataDirectory> dataDirectory_;
};

// ---- Definitions for creating a table ---------------------------------------------------------

// The dataset field kinds.
enum class TFieldType {
  Unknown,
  String,
  SmallInt,
  Integer,
  Word,
  Boolean,
  Float,
  Currency,
  BCD,
  Date,
  Time,
  DateTime,
  Bytes,
  VarBytes,
  AutoInc,
  Blob,
  Memo,
  Graphic,
  FmtMemo,
  Ole,
  TypedBinary,
};

struct TFieldDef {
  std::string Name;
  TFieldType DataType = TFieldType::String;
  int Size = 0;  // string, bytes, variable bytes: 1 to 250; BCD: decimals 0 to 4
  bool Required = false;
  std::string Description, DefaultValue, Minimum, Maximum;
  TCharCase CharCase = TCharCase::Unchanged;
};

class TFieldDefs {
 public:
  // Adds a definition; "Field name missing", "Duplicate field name '%s'" or "Invalid field
  // size" for a bad one.
  TFieldDef& Add(const std::string& name, TFieldType type, int size = 0, bool required = false);
  int Count() const { return static_cast<int>(items_.size()); }
  TFieldDef& Items(int i) { return items_.at(static_cast<size_t>(i)); }
  const TFieldDef& Items(int i) const { return items_.at(static_cast<size_t>(i)); }
  int IndexOf(const std::string& name) const;
  void Clear() { items_.clear(); }

 private:
  std::vector<TFieldDef> items_;
};

namespace IndexOption {
enum : uint8_t { Primary = 1, Unique = 2, Descending = 4, CaseInsensitive = 8 };
}

struct TIndexDef {
  std::string Name;
  std::string Fields;   // field names separated by ";"
  uint8_t Options = 0;  // IndexOption flags
  TIndexCompression Compression = TIndexCompression::None;
};

class TIndexDefs {
 public:
  // "Duplicate index name '%s'" for a name already in the list.
  TIndexDef& Add(const std::string& name, const std::string& fields, uint8_t options,
                 TIndexCompression compression = TIndexCompression::None);
  int Count() const { return static_cast<int>(items_.size()); }
  TIndexDef& Items(int i) { return items_.at(static_cast<size_t>(i)); }
  const TIndexDef& Items(int i) const { return items_.at(static_cast<size_t>(i)); }
  void Clear() { items_.clear(); }

 private:
  std::vector<TIndexDef> items_;
};

// Table attributes used when a table is created.
struct TStoreDefs {
  std::string Description;  // up to 50 characters
  bool Encrypted = false;
  std::string Password;     // 1 to 15 characters for an encrypted table
  int BlobBlockSize = 512;  // 64 to 65,535
  int UserMajorVersion = 0;
  int UserMinorVersion = 0;
};

// ---- Restructure lists ------------------------------------------------------------------------

// One field of a restructure: its values are carried over from the old field with the same
// FieldNo (0: a new field, numbered by the restructure). Size is the width of strings, bytes
// and variable bytes and the decimals of BCD, 0 for the other kinds.
struct TRestructureFieldDef {
  std::string Name;
  TFieldType DataType = TFieldType::String;
  int Size = 0;
  bool Required = false;
  std::string DefaultValue, MinimumValue, MaximumValue, Description;
  TCharCase CharCase = TCharCase::Unchanged;
  int FieldNo = 0;
};

class TRestructureFieldDefs {
 public:
  // Fills the list from the table's current fields, once: a loaded list is not read again
  // until a restructure was applied.
  void LoadFromTable();
  bool Loaded() const { return loaded_; }
  // "Field name missing", "Duplicate field name '%s'", "Invalid field size" (string, bytes and
  // variable bytes 1 to 250, BCD up to 8, the other kinds 0).
  TRestructureFieldDef& Add(const std::string& name, TFieldType type, int size = 0,
                            bool required = false, const std::string& defaultValue = {},
                            const std::string& minimum = {}, const std::string& maximum = {},
                            const std::string& description = {},
                            TCharCase charCase = TCharCase::Unchanged, int fieldNo = 0);
  // The same at a 0-based position (the end when `position` is Count()).
  TRestructureFieldDef& Insert(int position, const std::string& name, TFieldType type, int size = 0,
                               bool required = false, const std::string& defaultValue = {},
                               const std::string& minimum = {}, const std::string& maximum = {},
                               const std::string& description = {},
                               TCharCase charCase = TCharCase::Unchanged, int fieldNo = 0);
  TRestructureFieldDef& Items(int i) { return items_.at(static_cast<size_t>(i)); }
  const TRestructureFieldDef& Items(int i) const { return items_.at(static_cast<size_t>(i)); }
  int Count() const { return static_cast<int>(items_.size()); }
  // Position of a name (without regard to case), -1 when absent.
  int IndexOf(const std::string& name) const;
  // "Field '%s' not found" for a name that is not in the list.
  TRestructureFieldDef& Find(const std::string& name);
  void Delete(int i);
  void Clear() { items_.clear(); }

 private:
  friend class TStoreTable;
  TRestructureFieldDef& Place(size_t position, TRestructureFieldDef def);
  std::function<void(TRestructureFieldDefs&)> loader_;
  bool loaded_ = false;
  std::vector<TRestructureFieldDef> items_;
};

// One index of a restructure. Options: IndexOption flags (1 primary, 2 unique, 4 descending,
// 8 case-insensitive); Fields: field names separated by ";"; Compression: 0 none, 1 "DUPBYTE",
// 2 "TRAILBYTE", 3 "FULL". The primary index has the option Primary (its name is ignored).
struct TRestructureIndexDef {
  std::string Name;
  std::string Fields;
  uint8_t Options = 0;
  uint8_t Compression = 0;
};

class TRestructureIndexDefs {
 public:
  // Fills the list from the table's current indexes, once (as the field list).
  void LoadFromTable();
  bool Loaded() const { return loaded_; }
  // "Duplicate index name '%s'" for a name already in the list.
  TRestructureIndexDef& Add(const std::string& name, const std::string& fields, uint8_t options,
                            uint8_t compression = 0);
  TRestructureIndexDef& Items(int i) { return items_.at(static_cast<size_t>(i)); }
  const TRestructureIndexDef& Items(int i) const { return items_.at(static_cast<size_t>(i)); }
  int Count() const { return static_cast<int>(items_.size()); }
  int IndexOf(const std::string& name) const;
  void Delete(int i);
  void Clear() { items_.clear(); }

 private:
  friend class TStoreTable;
  std::function<void(TRestructureIndexDefs&)> loader_;
  bool loaded_ = false;
  std::vector<TRestructureIndexDef> items_;
};

// ---- Fields -----------------------------------------------------------------------------------

class TStoreField {
 public:
  TStoreField(TStoreTable& table, size_t index, const TFieldDesc& desc, TFieldType type);

  const std::string& FieldName() const { return desc_.name; }
  TFieldType DataType() const { return type_; }
  int Size() const { return desc_.size; }
  bool Required() const { return desc_.required; }
  // Position in the table's field list (from 0).
  int Index() const { return static_cast<int>(index_); }
  const TFieldDesc& Desc() const { return desc_; }
  // The caption controls show for the field: the label set here, else (with the dataset's
  // AutoDisplayLabels) its description when it has one, else its name.
  std::string DisplayLabel() const;
  void SetDisplayLabel(const std::string& label) { displayLabel_ = label; }

  bool IsNull() const;
  void Clear();

  std::string AsString() const;
  void SetAsString(const std::string& value);
  int64_t AsInteger() const;
  void SetAsInteger(int64_t value);
  bool AsBoolean() const;
  void SetAsBoolean(bool value);
  double AsFloat() const;
  void SetAsFloat(double value);
  TDateTime AsDateTime() const;
  void SetAsDateTime(TDateTime value);

 private:
  const uint8_t* Value() const;  // null when there is no record to read
  uint8_t* Writable();
  void Changed();  // tells the table's listeners
  [[noreturn]] void ConversionError(const std::string& text, const char* kind) const;

  TStoreTable& table_;
  size_t index_;
  TFieldDesc desc_;
  TFieldType type_;
  std::string displayLabel_;
};

// ---- Table ------------------------------------------------------------------------------------

enum class TDataSetState { Inactive, Browse, Edit, Insert };

// What a dataset tells the data sources (and through them the data-aware controls) bound to it:
//   ActiveChanged  opened or closed
//   RecordChanged  another record is current, or the current one was re-read or discarded
//   StateChanged   browse, edit or insert began
//   FieldChanged   a field of the record being edited changed (info: the field's position)
//   UpdateRecord   a post is about to run: controls store the values they hold into the fields
enum class TDataEvent { ActiveChanged, RecordChanged, StateChanged, FieldChanged, UpdateRecord };

class TDataSetListener {
 public:
  virtual ~TDataSetListener() = default;
  virtual void DataSetEvent(TDataEvent event, int info) = 0;
};

// Options of a filter expression: string comparisons ignore case; a trailing "*" of a string
// constant is an ordinary character instead of the partial-comparison wildcard.
struct TFilterOptions {
  bool caseInsensitive = false;
  bool noPartialCompare = false;
  bool operator==(const TFilterOptions&) const = default;
};

// The most filters one dataset holds: the expression filter, OnFilterRecord and record filters.
inline constexpr int kMaxFilters = 64;

// A saved position: the record's slot and logical id.
struct TBookmark {
  int32_t slot = 0;
  int32_t logicalId = 0;
  bool Valid() const { return slot != 0; }
};

// ---- Datasets ---------------------------------------------------------------------------------

// A cursor over records with typed fields: what every dataset of the store offers, whether its
// records are a table's (TStoreTable) or a query's result (TStoreQuery). Data sources and the
// program's commands work through this interface, so a query's result can stand wherever a
// table can. A dataset that cannot be changed (a query's canned result, a table opened
// read-only) reports ReadOnly and fails every edit with "Cannot modify a read-only dataset".
class TStoreDataSet {
 public:
  virtual ~TStoreDataSet() = default;

  virtual std::string SessionName() const = 0;
  std::string EngineVersion() const { return kEngineVersion; }

  // Opening and closing.
  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual bool Active() const = 0;
  void SetActive(bool on) { on ? Open() : Close(); }
  virtual TDataSetState State() const = 0;
  virtual bool ReadOnly() const = 0;

  // Navigation in the current order (through the filters).
  virtual void First() = 0;
  virtual void Last() = 0;
  virtual void Next() = 0;
  virtual void Prior() = 0;
  virtual int MoveBy(int distance) = 0;
  virtual bool Eof() const = 0;
  virtual bool Bof() const = 0;
  virtual bool IsEmpty() = 0;
  virtual int RecordCount() = 0;
  virtual int RecNo() = 0;
  virtual void SetRecNo(int recNo) = 0;
  virtual TBookmark GetBookmark() const = 0;
  virtual void GotoBookmark(const TBookmark& bookmark) = 0;
  virtual uint64_t ChangeCount() const = 0;

  // Fields of the current record.
  virtual int FieldCount() const = 0;
  virtual TStoreField& Fields(int i) = 0;
  virtual TStoreField& FieldByName(const std::string& name) = 0;
  virtual TStoreField* FindField(const std::string& name) = 0;

  // Editing.
  virtual void Append() = 0;
  void Insert() { Append(); }
  virtual void Edit() = 0;
  // Edit without waiting: when another user (or another cursor) holds the record, returns
  // false at once and the dataset stays in browse; other errors are raised as by Edit.
  virtual bool TryEdit() = 0;
  // After Edit or TryEdit was refused the record (10258): who holds it, when the store can
  // tell (the holder's session's UserName); empty otherwise.
  virtual const std::string& RecordHolder() const = 0;
  virtual void Post() = 0;
  virtual void Cancel() = 0;
  virtual void Delete() = 0;
  virtual void Refresh() = 0;

  // The filter expression and its switch (see TStoreTable).
  virtual const std::string& Filter() const = 0;
  virtual void SetFilter(const std::string& text) = 0;
  virtual TFilterOptions FilterOptions() const = 0;
  virtual void SetFilterOptions(const TFilterOptions& options) = 0;
  virtual bool Filtered() const = 0;
  virtual void SetFiltered(bool on) = 0;

  // Listeners (data sources).
  virtual void AddListener(TDataSetListener* listener) = 0;
  virtual void RemoveListener(TDataSetListener* listener) = 0;
  virtual void DisableControls() = 0;
  virtual void EnableControls() = 0;
  virtual bool ControlsDisabled() const = 0;

  // The table cursor whose records this dataset presents: a table is its own (open or closed),
  // an open query has its result's and a closed query none. Controls that read the records with
  // a cursor of their own (the grid) open that table a second time.
  virtual TStoreTable* CursorTable() = 0;

  // OnCalcFields runs whenever a record becomes current and, with AutoCalcFields (the
  // default), also after every change of a field of the record being edited or inserted.
  bool AutoCalcFields() const { return autoCalcFields_; }
  void SetAutoCalcFields(bool on) { autoCalcFields_ = on; }
  // Fields show their description as their display label (when they have one) instead of
  // their name. Off by default.
  bool AutoDisplayLabels() const { return autoDisplayLabels_; }
  void SetAutoDisplayLabels(bool on) { autoDisplayLabels_ = on; }
  // Append starts the new record with the current record's values (all but the
  // auto-increment value, which the post gives anew) instead of the fields' defaults.
  bool CopyOnAppend() const { return copyOnAppend_; }
  void SetCopyOnAppend(bool on) { copyOnAppend_ = on; }

 protected:
  bool autoCalcFields_ = true;
  bool autoDisplayLabels_ = false;
  bool copyOnAppend_ = false;
};

// A dataset bound to a database by name: the DatabaseName of a TStoreDatabase of its session,
// or a folder (or "MEMORY") that no database carries. While it is open it counts as one of
// that database's datasets, which keeps the database connected; a database whose
// KeepConnection is false disconnects when the last of them closes.
class TStoreDBDataSet : public TStoreDataSet {
 public:
  explicit TStoreDBDataSet(TStoreSession& session) : session_(session) {}
  ~TStoreDBDataSet() override;
  TStoreDBDataSet(const TStoreDBDataSet&) = delete;
  TStoreDBDataSet& operator=(const TStoreDBDataSet&) = delete;

  const std::string& DatabaseName() const { return databaseName_; }
  virtual void SetDatabaseName(const std::string& name) = 0;
  std::string SessionName() const override { return session_.SessionName(); }
  TStoreSession& Session() const { return session_; }
  // The database object the open dataset counts on; null when closed or when its
  // DatabaseName names a folder directly.
  TStoreDatabase* Database() const { return database_; }

 protected:
  // Called when the dataset has opened and when it has closed.
  void AttachDatabase();
  void DetachDatabase();
  // Disconnects the named database when nothing keeps it: no dataset open on it and no
  // KeepConnection (after an open that failed, or the last dataset's close).
  void ReleaseUnusedDatabase();

  TStoreSession& session_;
  std::string databaseName_;

 private:
  friend class TStoreDatabase;
  TStoreDatabase* database_ = nullptr;
};

class TStoreTable : public TStoreDBDataSet {
 public:
  explicit TStoreTable(TStoreSession& session = TStoreSession::Default());
  ~TStoreTable() override;
  TStoreTable(const TStoreTable&) = delete;
  TStoreTable& operator=(const TStoreTable&) = delete;

  // Properties.
  void SetDatabaseName(const std::string& name) override;
  const std::string& TableName() const { return tableName_; }
  void SetTableName(const std::string& name);
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool on);
  // Set, or the data file's read-only attribute is set.
  bool ReadOnly() const override;
  void SetReadOnly(bool on);
  // The table lives in the in-memory database whatever DatabaseName says (as if it were
  // "MEMORY"): its files are memory buffers that vanish when the last user closes them.
  bool InMemory() const { return inMemory_; }
  void SetInMemory(bool on);
  TFieldDefs& FieldDefs() { return fieldDefs_; }
  TIndexDefs& IndexDefs() { return indexDefs_; }
  // Description, encryption, BLOB block size and user versions of a table to be created; the
  // language and sort id come from the session.
  TStoreDefs& StoreDefs() { return storeDefs_; }

  // The cursor's order: the index named IndexName (empty or "Primary": the primary index, or
  // the order of insertion when the primary index has no key fields), or the index whose key
  // fields are IndexFieldNames (field names separated by ";"; an index whose first key fields
  // they are will do). Setting one clears the other and moves an open table to its first
  // record; an unknown index fails with 10022 and changes nothing.
  const std::string& IndexName() const { return indexName_; }
  void SetIndexName(const std::string& name);
  const std::string& IndexFieldNames() const { return indexFieldNames_; }
  void SetIndexFieldNames(const std::string& fieldNames);
  // The indexes the open table has: the primary index (name empty, option Primary) when it
  // has key fields, then the secondary indexes in order of creation.
  std::vector<TIndexDef> IndexDefinitions();

  // Opening and closing.
  void Open() override;
  void Close() override;
  bool Active() const override { return table_ != nullptr; }
  TDataSetState State() const override { return state_; }

  // Navigation.
  void First() override;
  void Last() override;
  void Next() override;
  void Prior() override;
  // Moves `distance` records forward (negative: back); returns how many were moved.
  int MoveBy(int distance) override;
  bool Eof() const override { return eof_; }
  bool Bof() const override { return bof_; }
  bool IsEmpty() override;
  // The number of records in the current order: within the range, passing the filter.
  int RecordCount() override;
  // Position of the current record in the current order (within the range), from 1; 0
  // without one. Setting it moves to the record at that position.
  int RecNo() override;
  void SetRecNo(int recNo) override;
  TBookmark GetBookmark() const override;
  // Moves on with every change of the table's records that this process makes or notices
  // (through any cursor on the table, or another program's change found while reading or by
  // Refresh); 0 while closed. What a control keeps of the records (the grid's rows) is stale
  // once it has moved; a RecordChanged event without it is a move of the cursor only.
  uint64_t ChangeCount() const override;
  // 8710 when the record is gone.
  void GotoBookmark(const TBookmark& bookmark) override;

  // Fields.
  int FieldCount() const override { return static_cast<int>(fields_.size()); }
  TStoreField& Fields(int i) override;
  // "Field '%s' not found" for an unknown name.
  TStoreField& FieldByName(const std::string& name) override;
  TStoreField* FindField(const std::string& name) override;

  // Editing.
  void Append() override;
  void Edit() override;
  bool TryEdit() override;
  const std::string& RecordHolder() const override { return recordHolder_; }
  void Post() override;
  void Cancel() override;
  void Delete() override;
  void Refresh() override;
  void FlushToDisk();

  // Key searches in the active index. `values` are the values of its first key fields, as
  // text in the forms of filter constants (numbers with ".", TRUE/FALSE, "yyyy-mm-dd",
  // "hh:nn:ss"); an empty text stands for NULL. FindKey (also FindByKey) makes the record
  // with that key current and returns true, or returns false and stays where it was;
  // FindNearest goes to the first record whose key is not below the values (after the last
  // when there is none). Without an index with key fields: "No index currently active".
  bool FindKey(const std::vector<std::string>& values);
  bool FindByKey(const std::vector<std::string>& values) { return FindKey(values); }
  void FindNearest(const std::vector<std::string>& values);

  // Key range: only records whose key lies from `start` to `end` (values of the first key
  // fields as for FindKey, each end compared over the fields it gives; in the index's order,
  // so for a descending index `start` is the greater value). Moves to the first record.
  void SetRange(const std::vector<std::string>& start, const std::vector<std::string>& end);
  void CancelRange();

  // Detail range: while MasterSource is set, the table shows only the records whose first key
  // fields (of the active index) equal the master's MasterFields (names separated by ";"),
  // following the master as it moves. A master without a current record gives NULL values.
  TStoreTable* MasterSource() const { return master_; }
  void SetMasterSource(TStoreTable* master);
  const std::string& MasterFields() const { return masterFields_; }
  void SetMasterFields(const std::string& fieldNames);

  // Filtering. While Filtered is true a record is shown only when every filter accepts it: the
  // filter expression (Filter), OnFilterRecord and the record filters; navigation skips the
  // others and RecordCount counts the ones shown.
  //
  // Setting Filter (or FilterOptions) on an open table posts a pending edit, compiles the text
  // at once and, when filtered, moves to the first record that passes; a compile error raises
  // 10051 "Filter error for table '<table>' - <message>" and leaves the previous filter, its
  // text and options in force. A blank text removes the expression. On a closed table the text
  // is kept and compiled at open (an error then fails the open). The parts of the expression
  // the table's indexes can answer are answered from them.
  const std::string& Filter() const override { return filterText_; }
  void SetFilter(const std::string& text) override;
  TFilterOptions FilterOptions() const override { return filterOptions_; }
  void SetFilterOptions(const TFilterOptions& options) override;
  bool Filtered() const override { return filtered_; }
  void SetFiltered(bool on) override;
  std::function<void(TStoreTable& sender, bool& Accept)> OnFilterRecord;
  using TRecordFilter = std::function<bool(TStoreTable& table)>;
  // Adds a record filter and returns its handle; beyond kMaxFilters filters in all (an
  // expression and OnFilterRecord count one each) 9482. RemoveRecordFilter: 10050 for a handle
  // that names none. Moves an open, filtered table to its first record.
  int AddRecordFilter(TRecordFilter filter);
  void RemoveRecordFilter(int handle);
  // Replaces the one record filter set through this call (an empty function removes it).
  void SetRecordFilter(TRecordFilter filter);

  // Events.
  std::function<void(TStoreTable&)> OnNewRecord, BeforePost, AfterPost, AfterScroll;
  // The before and after events of open, close, insert (Append), edit, cancel, delete and
  // scroll (First, Last, Next, Prior); a before event that throws stops the operation.
  // OnCalcFields is called whenever a record becomes current.
  std::function<void(TStoreTable&)> BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert,
      AfterInsert, BeforeEdit, AfterEdit, BeforeCancel, AfterCancel, BeforeDelete, AfterDelete,
      BeforeScroll, OnCalcFields;
  // What a failed Post, Edit or Delete does after its error event: fail with the error (the
  // default), abort quietly (the call returns, nothing changed) or retry the operation.
  enum class TDataAction { Fail, Abort, Retry };
  using TDataSetErrorEvent =
      std::function<void(TStoreTable& DataSet, const std::exception& E, TDataAction& Action)>;
  TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;

  // Listeners (data sources). While controls are disabled no event reaches them; enabling them
  // again sends RecordChanged, so they show wherever the dataset moved in between. Calls nest.
  void AddListener(TDataSetListener* listener) override;
  void RemoveListener(TDataSetListener* listener) override;
  void DisableControls() override { ++controlsDisabled_; }
  void EnableControls() override;
  bool ControlsDisabled() const override { return controlsDisabled_ > 0; }
  TStoreTable* CursorTable() override { return this; }

  // Adding and deleting an index. An open table must be open exclusively (10253); a closed
  // one is opened exclusively for the change. `fieldNames` are separated by ";" (9985 for an
  // unknown name); `options` are IndexOption flags: with Primary the primary index is defined
  // (9993 while one with key fields exists), otherwise a secondary index is added (9487 beyond
  // 30, 10010 for a blank name, 10022 for a bad name, 10027 for a name in use, 9729 when a
  // unique index meets a key twice; nothing changes then). DeleteIndex removes a secondary
  // index (10055 for the primary index, 10022 for an unknown name); a cursor on it goes back
  // to the primary index.
  void AddIndex(const std::string& name, const std::string& fieldNames, uint8_t options,
                TIndexCompression compression = TIndexCompression::None);
  void DeleteIndex(const std::string& name);

  // Restructure, verify and repair (the table must be closed: "Cannot perform this operation
  // on an open dataset"). Restructure applies RestructureFieldDefs and RestructureIndexDefs
  // (a list never loaded stands for the current definitions) and the attributes: language and
  // sort id (0 keeps the current ones), user versions, encryption with its password,
  // description, BLOB block size, the last logical id to record as given out (-1 keeps the
  // current one) and whether to keep the old files as ".DBK", ".IBK" and ".BBK". It opens the
  // table exclusively (11013 while another program has it open or its data file is read-only)
  // and checks every definition before it changes anything. Changes of indexes only are made in
  // place; otherwise the records are copied into a new table that replaces the old one. Losses
  // are offered to OnDataLost; a handler that stops the restructure leaves the old table as it
  // was, byte for byte.
  TRestructureFieldDefs& RestructureFieldDefs();
  TRestructureIndexDefs& RestructureIndexDefs();
  // Returns false when OnDataLost stopped it.
  bool Restructure(int LanguageID, int SortID, int UserMajorVersion, int UserMinorVersion,
                   bool Encrypted, const std::string& Password, const std::string& Description,
                   int BlobBlockSize, int LastAutoInc, bool NoBackup);
  // Verify reports what is wrong with the table's files through OnRepairLog and changes
  // nothing; it returns whether the table is sound. Repair also mends what it finds and returns
  // whether everything could be mended (what could not is logged "error cannot be fixed").
  bool Verify();
  bool Repair();

  using TProgressEvent =
      std::function<void(TStoreTable& Sender, int CurrentRecord, int16_t PercentDone)>;
  using TLogEvent = std::function<void(TStoreTable& Sender, const std::string& LogMessage)>;
  using TDataLostEvent =
      std::function<void(TStoreTable& Sender, TDataLossCause Cause, const std::string& ContextInfo,
                         bool& ContinueRestructure, bool& StopAsking)>;
  TProgressEvent OnRestructureProgress, OnRepairProgress;
  // Told as AddIndex builds a new index from the records (CurrentRecord records read so far).
  TProgressEvent OnIndexProgress;
  // Told as a restructure copies the records into the new table (beside OnRestructureProgress).
  TProgressEvent OnCopyProgress;
  // Told as a restructure that changes only secondary indexes or header attributes builds the
  // new indexes in place, the records staying where they are.
  TProgressEvent OnOptimizeProgress;
  TLogEvent OnRepairLog;
  // Without a handler every loss is accepted: the record (or value) is left out.
  TDataLostEvent OnDataLost;

  // Table operations; the table must be closed except for EmptyTable and FlushToDisk. Creating
  // a table defines the indexes of IndexDefs: the primary index (option Primary, or a blank
  // name or "Primary") and the secondary indexes.
  void CreateTable();
  void EmptyTable();
  void DeleteTable();
  void RenameTable(const std::string& newName);
  bool Exists();
  int UserMajorVersion();
  int UserMinorVersion();

 private:
  friend class TStoreField;
  friend class TSqlTableAccess;  // the SQL layer's statements over this cursor
  void CheckActive() const;
  void CheckWritable() const;
  void CheckBrowseMode();
  std::shared_ptr<TDataDirectory> Directory();
  // The record image fields read now: the candidate during filtering, the edit buffer, or the
  // current record; null when there is none.
  const uint8_t* CurrentImage() const;
  std::string BlobValue(size_t index) const;
  void SetBlobValue(size_t index, const std::string& value);
  bool Accept(int32_t slot);
  // Whether some filter is in force.
  bool FilterActive() const;
  int FilterCount() const;
  std::unique_ptr<TExprFilter> CompileFilter(const std::string& text,
                                             const TFilterOptions& options) const;
  // The records passing the expression, from the indexes where they answer; kept until the
  // table changes.
  bool PassingFresh() const;
  void EnsurePassing();
  void DropPassing();
  int32_t Seek(int32_t from, bool forward);
  void SetCurrent(int32_t slot);
  void ClearCurrent();
  void ReleaseRecordLock();
  // The data file header: the open table's, or the closed table's as its file holds it.
  TDataHeader TableHeader();
  void LoadRestructureFields(TRestructureFieldDefs& list);
  void LoadRestructureIndexes(TRestructureIndexDefs& list);
  bool CheckTable(bool repair);
  void Notify(TDataEvent event, int info = 0);
  // Runs `op`; a failure goes to `handler` when one is set, which may retry the operation,
  // abort it quietly (false) or let it fail.
  bool RunWithErrorEvent(const TDataSetErrorEvent& handler, const std::function<void()>& op);
  void Fire(const std::function<void(TStoreTable&)>& event) {
    if (event) event(*this);
  }
  // The index a name or a field list stands for (10022 when none).
  std::string IndexNameForFields(const std::string& fieldNames);
  // OnIndexProgress as the engine reports the building of an index (empty without a handler).
  std::function<void(int, int)> IndexProgress();
  const TKeyLayout& ActiveLayout();
  const TFieldDesc& FieldByNumber(uint16_t number) const;
  // A key prefix from text values of the first key fields of the active index.
  std::vector<uint8_t> KeyFromValues(const std::vector<std::string>& values);
  // Sets the detail range from the master's current record; no-op without a master.
  void ApplyMasterRange();
  void MasterChanged();

  // Listens to the master of a detail range.
  class TMasterLink : public TDataSetListener {
   public:
    explicit TMasterLink(TStoreTable& owner) : owner_(owner) {}
    void DataSetEvent(TDataEvent event, int info) override;

   private:
    TStoreTable& owner_;
  };

  std::string tableName_;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool inMemory_ = false;
  bool inCalcFields_ = false;
  bool filtered_ = false;
  std::string filterText_;
  TFilterOptions filterOptions_;
  std::unique_ptr<TExprFilter> exprFilter_;
  std::map<int, TRecordFilter> recordFilters_;
  int nextFilterHandle_ = 1;
  int hookHandle_ = 0;  // the filter of SetRecordFilter
  std::unique_ptr<TExprRecordSet> passing_;
  uint64_t passingStamp_ = 0;
  TFieldDefs fieldDefs_;
  // The logical id (auto-increment value) the next Post gives the record instead of a new
  // one; 0: none. Set by the SQL layer for NOAUTOINC, cleared by every Post.
  int32_t givenLogicalId_ = 0;
  TRestructureFieldDefs restructureFields_;
  TRestructureIndexDefs restructureIndexes_;
  TIndexDefs indexDefs_;
  TStoreDefs storeDefs_;

  std::shared_ptr<TDataDirectory> directory_;
  std::shared_ptr<TDataTable> table_;
  std::vector<std::unique_ptr<TStoreField>> fields_;
  TDataSetState state_ = TDataSetState::Inactive;
  int32_t slot_ = 0;  // current record, 0 for none
  bool bof_ = true, eof_ = true;
  std::vector<uint8_t> shown_;   // the current record as read
  std::vector<uint8_t> buffer_;  // the record being edited or inserted
  TBlobChanges pendingBlobs_;
  mutable std::map<size_t, std::string> blobCache_;  // values of the current record
  int32_t lockedSlot_ = 0;
  int editLockRetries_ = -1;  // TryEdit: 0, one try; else the session's LockRetryCount
  std::string recordHolder_;
  int32_t slotBeforeInsert_ = 0;
  const std::vector<uint8_t>* candidate_ = nullptr;  // record under the filter
  std::vector<TDataSetListener*> listeners_;
  int controlsDisabled_ = 0;
  std::string indexName_, indexFieldNames_;
  std::unique_ptr<TCursorOrder> order_;
  TStoreTable* master_ = nullptr;
  std::string masterFields_;
  TMasterLink masterLink_{*this};
  std::vector<TStoreTable*> details_;  // tables whose master this one is
};

// ---- BLOB stream --------------------------------------------------------------------------------

// A stream over one BLOB field (BLOB, memo, graphic, ...) of a table's current record, or of the
// record being edited or inserted. Read mode reads the value as it is; Write mode starts from an
// empty value and ReadWrite from the current one, and both need the table in edit or insert
// state ("Dataset not in edit or insert mode"). What was written becomes the field's value when
// the stream is flushed or destroyed, and is stored by the table's Post. A field that is not a
// BLOB fails with 10753.
enum class TBlobStreamMode { Read, Write, ReadWrite };

class TStoreBlobStream {
 public:
  enum class TSeekOrigin { Beginning, Current, End };

  TStoreBlobStream(TStoreField& field, TBlobStreamMode mode);
  ~TStoreBlobStream();
  TStoreBlobStream(const TStoreBlobStream&) = delete;
  TStoreBlobStream& operator=(const TStoreBlobStream&) = delete;

  // Reads up to `count` bytes from the position; returns how many were read.
  int64_t Read(void* buffer, int64_t count);
  // Writes at the position, growing the value as needed ("Cannot write to a read-only BLOB
  // stream" in Read mode).
  int64_t Write(const void* buffer, int64_t count);
  // Moves the position (never before 0); returns the new one.
  int64_t Seek(int64_t offset, TSeekOrigin origin);
  int64_t Position() const { return position_; }
  int64_t Size() const { return static_cast<int64_t>(data_.size()); }
  // Cuts or extends (with zero bytes) the value.
  void SetSize(int64_t size);
  void Truncate() { SetSize(position_); }
  // Hands a changed value to the field now.
  void Flush();

 private:
  TStoreField& field_;
  TBlobStreamMode mode_;
  std::string data_;
  int64_t position_ = 0;
  bool modified_ = false;
};

}  // namespace quellor
