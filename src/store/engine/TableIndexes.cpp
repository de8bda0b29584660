#include "store/engine/TableIndexes.h"

#include <algorithm>

#include "store/api/StoreError.h"
#include "store/format/ByteOrder.h"
#include "store/format/TableFormat.h"

namespace quellor {

namespace {

int32_t LogicalIdOf(const uint8_t* image) {
  return SlotLogicalId(image);
}

}  // namespace

TTableIndexes::TTableIndexes(std::shared_ptr<TAbstractFile> file, std::vector<TFieldDesc> fields,
                             TIndexFileOptions options, int recordSize)
    : file_(std::move(file)), recordSize_(recordSize) {
  index_ = std::make_unique<TIndexFile>(*file_, std::move(fields), std::move(options));
}

void TTableIndexes::CheckInsert(const uint8_t* image) {
  index_->CheckUnique(Record(image), SlotLink(image), LogicalIdOf(image));
}

void TTableIndexes::CheckUpdate(int32_t slot, const uint8_t*, const uint8_t* newImage) {
  // A key equal to the record's own is no duplicate: CheckUnique skips entries of `slot`.
  index_->CheckUnique(Record(newImage), slot, LogicalIdOf(newImage));
}

void TTableIndexes::Insert(int32_t slot, const uint8_t* image, int32_t reusedLogicalId) {
  const int32_t id = LogicalIdOf(image);
  index_->InsertRecord(Record(image), slot, id);
  if (reusedLogicalId != 0)
    index_->SysDeletedReuse(reusedLogicalId, id, slot);
  else
    index_->SysDeletedAdd(false, id, slot);
  index_->SetRecordCount(index_->RecordCount() + 1);
}

void TTableIndexes::Update(int32_t slot, const uint8_t* oldImage, const uint8_t* newImage) {
  const int32_t oldId = LogicalIdOf(oldImage), newId = LogicalIdOf(newImage);
  if (oldId == newId) {
    index_->UpdateRecord(Record(oldImage), Record(newImage), slot, oldId);
    return;
  }
  // A new logical id (an auto-increment value given by the caller): the keys carry the id, so
  // the record leaves every index and enters it again, and its "Sys Deleted" entry moves.
  index_->DeleteRecord(Record(oldImage), slot, oldId);
  index_->InsertRecord(Record(newImage), slot, newId);
  index_->SysDeletedMarkDeleted(oldId, slot);
  index_->SysDeletedReuse(oldId, newId, slot);
}

void TTableIndexes::Delete(int32_t slot, const uint8_t* oldImage) {
  const int32_t id = LogicalIdOf(oldImage);
  index_->DeleteRecord(Record(oldImage), slot, id);
  index_->SysDeletedMarkDeleted(id, slot);
  index_->SetRecordCount(std::max(0, index_->RecordCount() - 1));
}

void TTableIndexes::Empty() {
  index_->Empty();
  ++generation_;
}

std::vector<const void*> TTableIndexes::TreeIdentity() {
  std::vector<const void*> trees{index_->Primary(), &index_->SysDeleted()};
  for (int i = 0; i < index_->SecondaryCount(); ++i) trees.push_back(&index_->Secondary(i));
  return trees;
}

void TTableIndexes::Discard() {
  auto before = TreeIdentity();
  index_->DiscardChanges();
  if (TreeIdentity() != before) ++generation_;
}

bool TTableIndexes::Reload() {
  if (!index_->ChangedOnDisk()) return false;
  auto before = TreeIdentity();
  index_->Reload();
  if (TreeIdentity() != before) ++generation_;
  return true;
}

void TTableIndexes::FillSlots(const TSlotSource& slots) {
  index_->FillSysDeleted(slots);
}

void TTableIndexes::AddIndex(const TIndexDesc& desc, bool primary, const TRecordSource& records) {
  // Building the tree takes pages from the end of the file only; a failure gives them back
  // and leaves the definitions as they were.
  index_->BeginChange();
  try {
    if (primary)
      index_->DefinePrimaryIndex(desc, records);
    else
      index_->AddSecondaryIndex(desc, records);
    index_->EndChange();
  } catch (...) {
    index_->AbortChange();
    throw;
  }
  ++generation_;
  index_->WriteChanges(true);
}

void TTableIndexes::DeleteIndex(const std::string& name) {
  index_->RemoveSecondaryIndex(name);
  ++generation_;
  index_->WriteChanges(true);
}

}  // namespace quellor
