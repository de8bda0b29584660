// The points at which a table's indexes take part in its record changes and cursor order.
//
// TDataTable calls a TTableIndexes at fixed points of every change, in this order:
//   insert:  CheckInsert (every index accepts the key; 9729 naming the index) -> Insert
//   update:  CheckUpdate -> Update
//   delete:  Delete
//   empty:   Empty
// The Check calls run before anything is changed; the others after all checks passed, inside
// the table's change (a failure there rolls the whole change back). Flush writes the index
// file's changes at the end of the change, Reload notices other users' changes.
//
// TRecordOrder is the order a cursor walks: physical slot order, or an index's key order.
//
// TIndexFileOnly is the implementation used while a table has no maintained index trees: it
// keeps the index file open, reads its header (primary index with or without key fields), and
// walks records in physical order. Index maintenance replaces it with one that keeps the trees.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/AbstractFile.h"
#include "store/IndexHeader.h"

namespace quellor {

class TDataFile;

class TTableIndexes {
 public:
  virtual ~TTableIndexes() = default;
  // Whether the primary index has key fields; only then are deleted slots reused.
  virtual bool PrimaryHasKeyFields() const = 0;
  virtual void CheckInsert(const uint8_t* image) = 0;
  virtual void CheckUpdate(int32_t slot, const uint8_t* oldImage, const uint8_t* newImage) = 0;
  virtual void Insert(int32_t slot, const uint8_t* image, bool reusedSlot) = 0;
  virtual void Update(int32_t slot, const uint8_t* oldImage, const uint8_t* newImage) = 0;
  virtual void Delete(int32_t slot, const uint8_t* oldImage) = 0;
  virtual void Empty() = 0;
  // A change begins; Abort drops what it did to the index caches.
  virtual void BeginChange() = 0;
  virtual void AbortChange() = 0;
  virtual void Flush(bool flushOs) = 0;
  virtual bool Reload() = 0;
};

class TRecordOrder {
 public:
  virtual ~TRecordOrder() = default;
  // Physical record numbers; 0 when there is none.
  virtual int32_t First() = 0;
  virtual int32_t Last() = 0;
  virtual int32_t Next(int32_t slot) = 0;
  virtual int32_t Prior(int32_t slot) = 0;
};

// Physical order: active slots by number.
class TPhysicalOrder : public TRecordOrder {
 public:
  explicit TPhysicalOrder(TDataFile& data) : data_(data) {}
  int32_t First() override;
  int32_t Last() override;
  int32_t Next(int32_t slot) override;
  int32_t Prior(int32_t slot) override;

 private:
  bool Active(int32_t slot);
  TDataFile& data_;
};

class TIndexFileOnly : public TTableIndexes {
 public:
  // Reads the header of the open index file (deciphered with `encrypted`).
  TIndexFileOnly(std::shared_ptr<TAbstractFile> file, std::string tableName, bool encrypted);
  bool PrimaryHasKeyFields() const override { return !header_.primaryNoKeyFields; }
  void CheckInsert(const uint8_t*) override {}
  void CheckUpdate(int32_t, const uint8_t*, const uint8_t*) override {}
  void Insert(int32_t, const uint8_t*, bool) override {}
  void Update(int32_t, const uint8_t*, const uint8_t*) override {}
  void Delete(int32_t, const uint8_t*) override {}
  void Empty() override;
  void BeginChange() override {}
  void AbortChange() override {}
  void Flush(bool flushOs) override;
  bool Reload() override;
  const TIndexFileHeader& Header() const { return header_; }

 private:
  void ReadHeader();
  std::shared_ptr<TAbstractFile> file_;
  std::string tableName_;
  bool encrypted_;
  TIndexFileHeader header_;
};

}  // namespace quellor
