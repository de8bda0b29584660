#include "store/engine/TableCreate.h"

#include <algorithm>

#include "store/api/StoreError.h"
#include "store/btree/IndexFile.h"
#include "store/engine/DataSession.h"
#include "store/format/AsciiText.h"
#include "store/format/BlobFile.h"
#include "store/format/Language.h"

namespace quellor {

std::vector<std::shared_ptr<TAbstractFile>> TCreatedTableFiles::All() const {
  std::vector<std::shared_ptr<TAbstractFile>> all;
  for (const auto* file : {&data, &index, &blob})
    if (*file) all.push_back(*file);
  return all;
}

TCreatedTableFiles CreateTableFiles(const TTableFiles& files, const std::string& tableName,
                                    TNewTable table, bool flushOs) {
  const std::string& name = tableName;
  TDataHeader& header = table.header;
  const int blobFields = static_cast<int>(
      std::count_if(table.fields.begin(), table.fields.end(),
                    [](const TFieldDesc& f) { return f.type == TStoreFieldType::Blob; }));
  if (blobFields > kMaxBlobFields) throw EStoreEngineError(StoreCode::BlobFieldLimits, {name});
  const int recordSize = LayoutFields(table.fields);
  if (recordSize > kMaxRecordSize) throw EStoreEngineError(StoreCode::MaxRecordSize, {name});
  header.recordSize = static_cast<uint16_t>(recordSize);
  header.blobFieldCount = static_cast<int16_t>(blobFields);
  if (files.Exists(TTableFile::Data)) throw EStoreEngineError(StoreCode::TableExists, {name});

  // A journal without its table belongs to none.
  files.Delete(TTableFile::Journal, name);
  TCreatedTableFiles created;
  std::vector<TTableFile> made;  // deleted again on failure
  auto create = [&](TTableFile which) {
    // An index or BLOB file left by a table whose data file is gone is replaced.
    files.Delete(which, name);
    auto file = files.Create(which, !files.inMemory, name);
    made.push_back(which);
    return file;
  };
  try {
    created.data = create(TTableFile::Data);
    TDataFile::Create(*created.data, header, table.fields, name);
    if (blobFields > 0) {
      created.blob = create(TTableFile::Blob);
      TBlobFile::Create(*created.blob, header.encrypted, name);
    }
    // The index file comes last: its header with the primary index, then the others.
    const TIndexFileOptions options = TIndexFileOptions::ForTable(name, header);
    created.index = create(TTableFile::Index);
    CreateIndexFile(*created.index, table.fields, table.hasPrimary ? &table.primary : nullptr,
                    options);
    if (!table.secondary.empty()) {
      TIndexFile index(*created.index, table.fields, options);
      for (const TIndexDesc& desc : table.secondary) index.AddSecondaryIndex(desc, nullptr);
      index.WriteChanges(true);
    }
    if (flushOs)
      for (const auto& file : created.All()) file->Flush();
  } catch (...) {
    created = {};  // memory files go with their last holder
    for (TTableFile which : made) files.Remove(which);
    throw;
  }
  return created;
}

TIndexDesc IndexDescOf(const TIndexPlan& plan, const std::vector<TFieldDesc>& fields,
                       const std::string& tableName) {
  const bool primary = (plan.options & 1) != 0;
  TIndexDesc desc;
  desc.name = primary ? std::string() : TrimBlanks(plan.name);
  desc.unique = (plan.options & 3) != 0;
  desc.descending = (plan.options & 4) != 0;
  desc.caseInsensitive = (plan.options & 8) != 0;
  desc.compression = static_cast<TIndexCompression>(std::min<uint8_t>(plan.compression, 3));
  for (const std::string& fieldName : plan.fieldNames) {
    auto it = std::find_if(fields.begin(), fields.end(), [&](const TFieldDesc& f) {
      return AsciiLower(f.name) == AsciiLower(fieldName);
    });
    if (it == fields.end())
      throw EStoreEngineError(StoreCode::InvalidFieldName, {fieldName, tableName});
    desc.fieldNumbers.push_back(it->number);
    desc.fieldDescending.push_back(false);
  }
  return desc;
}

void CreateTable(TDataDirectory& directory, const std::string& tableName,
                 const TTableDefinition& definition) {
  const std::string& name = tableName;
  TDataSession& session = directory.Session();
  TNewTable table;
  TCheckedFields checked = CheckFieldPlans(definition.fields, 0, name);
  table.fields = std::move(checked.fields);

  // The primary index goes into the new index file's header, the secondary ones are added to
  // it after.
  for (const TIndexPlan& plan : definition.indexes) {
    TIndexDesc desc = IndexDescOf(plan, table.fields, name);
    if ((plan.options & 1) == 0) {
      table.secondary.push_back(std::move(desc));
      continue;
    }
    if (table.hasPrimary) throw EStoreEngineError(StoreCode::PrimaryIndexExists, {name});
    table.hasPrimary = true;
    table.primary = std::move(desc);
    table.primary.unique = true;
  }

  if (definition.blobBlockSize < kMinBlobBlockSize || definition.blobBlockSize > kMaxBlobBlockSize)
    throw EStoreEngineError(StoreCode::BlobFieldLimits, {name});
  if (definition.encrypted &&
      (definition.password.empty() ||
       definition.password.size() > static_cast<size_t>(kMaxPasswordLength)))
    throw EStoreEngineError(StoreCode::InvalidPassword, {name});
  TDataHeader& header = table.header;
  header.blobBlockSize = static_cast<uint32_t>(definition.blobBlockSize);
  header.description = definition.description.substr(0, kMaxTextLength);
  header.encrypted = definition.encrypted;
  header.password = definition.encrypted ? definition.password : std::string();
  header.userMajor = static_cast<int16_t>(definition.userMajor);
  header.userMinor = static_cast<int16_t>(definition.userMinor);
  header.languageId = session.languageId;
  header.sortId = session.sortId;
  // A table is only made with a language the store can order and upper-case by.
  if (header.languageId != 0 && !LanguageIsValid(static_cast<uint16_t>(header.languageId),
                                                 static_cast<uint16_t>(header.sortId)))
    throw EStoreEngineError(StoreCode::LanguageDriver, {name});

  TTableFiles files = directory.Files(name);
  TCreatedTableFiles created =
      CreateTableFiles(files, name, std::move(table), session.forceBufferFlush);
  // Memory tables live while someone holds them: the folder keeps them until the first open.
  if (files.inMemory) directory.HoldMemoryFiles(created.All());
}

}  // namespace quellor
