// Verify and repair (Repair.h). The files are read on their own here, slot by slot and block by
// block, with every offset checked before it is used: nothing read from a damaged file is
// trusted, and every loop is bounded by the size of the file it walks. The layouts read here are
// drawn in DataFile.h (header, descriptors, slots), BlobFile.h (header, blocks) and IndexHeader.h
// (index file header and descriptors); index trees are checked by IndexTree::Verify.
#include "store/maint/Repair.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "store/api/StoreError.h"
#include "store/btree/IndexFile.h"
#include "store/engine/DataSession.h"
#include "store/engine/Journal.h"
#include "store/format/AsciiText.h"
#include "store/format/BlobFile.h"
#include "store/format/ByteOrder.h"
#include "store/format/Cipher.h"
#include "store/format/DataFile.h"
#include "store/format/FieldCheck.h"
#include "store/format/FieldValue.h"
#include "store/format/IndexHeader.h"
#include "store/format/IndexPage.h"
#include "store/format/KeyLayout.h"
#include "store/format/Language.h"
#include "store/maint/Restructure.h"
#include "store/os/FileList.h"
#include "store/os/PhysicalFile.h"

namespace quellor {

using namespace bytes;

namespace {

std::string Quoted(const std::string& name) {
  return "'" + name + "'";
}

// The current date and time in the system's short format.
std::string Now() {
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char text[64];
  std::strftime(text, sizeof text, "%x %X", &local);
  return text;
}

std::string Str(int64_t v) {
  return std::to_string(v);
}

// Writes the log lines; counts what was found and what could not be mended.
class TLog {
 public:
  TLog(TRepairEvents& events, bool repair) : events_(events), repair_(repair) {}
  bool Repair() const { return repair_; }
  void Line(const std::string& line) {
    if (events_.log) events_.log(line);
  }
  // A finding with the endings "error not fixed" / "error fixed" after `separator`.
  // While quiet (a value read again for the rebuild) nothing is written or counted.
  void SetQuiet(bool on) { quiet_ = on; }
  void Found(const std::string& text, const std::string& separator = ", ") {
    if (quiet_) return;
    ++found_;
    Line(text + separator + (repair_ ? "error fixed" : "error not fixed"));
  }
  void FoundWith(const std::string& text, const std::string& fixedEnding) {
    ++found_;
    Line(text + (repair_ ? fixedEnding : ", error not fixed"));
  }
  void Unfixable(const std::string& text) {
    ++found_;
    ++unfixable_;
    Line(text + "error cannot be fixed");
  }
  int FoundCount() const { return found_; }
  int UnfixableCount() const { return unfixable_; }

 private:
  TRepairEvents& events_;
  bool repair_;
  int found_ = 0;
  int unfixable_ = 0;
  bool quiet_ = false;
};

struct TStopCheck {};  // the damage found stops the check (after its line was written)

class TChecker {
 public:
  TChecker(TDataDirectory& directory, const std::string& tableName, bool repair,
           TRepairEvents& events)
      : directory_(directory), name_(tableName), log_(events, repair), events_(events) {}

  bool Run();

 private:
  void OpenFiles();
  void ResolvePendingJournal();
  void CheckDataHeader();
  void CheckFields();
  void CheckIndexHeader();
  // Finds the definitions of the indexes whose header was lost again from the index pages.
  void IndexesFromPages();
  // The key fields (and unique flag, case) that build the keys of a leaf's entries from their
  // records; false when no set of fields does.
  bool MatchLeaf(const TIndexPage& leaf, int keySize, bool unique, TIndexDesc& desc);
  void CheckIndexTrees();
  void CheckSlots();
  void CheckDeletedChain();
  void CheckCounts();
  void WriteRepaired();
  // Reads one BLOB value of slot r along its chain, logging the first fault. Returns whether the
  // value's first block is its own: then `value` holds the data up to the first bad link (all
  // of it when only the length is wrong); otherwise the value is lost.
  bool ReadBlobValue(int32_t r, int32_t first, int32_t id, std::string& value);
  std::vector<uint8_t> ReadSlotRaw(int32_t slot);
  int64_t DataStart() const { return kDataHeaderSize + int64_t{kFieldDescSize} * fieldCount_; }

  TDataDirectory& directory_;
  std::string name_;
  TLog log_;
  TRepairEvents& events_;
  TTableFiles files_;
  std::shared_ptr<TAbstractFile> data_, index_, blob_;
  int64_t dataSize_ = 0, indexSize_ = 0, blobSize_ = 0;

  TDataHeader header_;
  int fieldCount_ = 0;
  std::vector<TFieldDesc> fields_;  // as mended, laid out
  int recordSize_ = 0;
  int32_t slotCount_ = 0;
  int blockSize_ = kDefaultBlobBlockSize;
  bool blobUsable_ = false;
  int32_t blobEnd_ = 0;

  bool indexHeaderSound_ = false;
  int32_t indexRecordCount_ = -1;
  TIndexDesc primary_;
  bool hasPrimary_ = false;
  std::vector<TIndexDesc> secondary_;

  // What the slots hold, for the index checks and the rebuild.
  struct TSlot {
    bool active = false;
    int32_t logicalId = 0;
    bool dropped = false;  // deleted by the repair (colliding key)
  };
  std::vector<TSlot> slots_;  // index 0 unused
  int32_t highestId_ = 0;
  int32_t activeCount_ = 0;
  std::vector<uint8_t> chunk_;  // slots read ahead, from file offset chunkStart_
  int64_t chunkStart_ = 0;
};

bool TChecker::Run() {
  const char* what = log_.Repair() ? "Repair of table " : "Verification of table ";
  log_.Line(std::string(what) + name_ + " started at " + Now());
  try {
    OpenFiles();
    CheckDataHeader();
    CheckFields();
    CheckIndexHeader();
    CheckSlots();
    CheckDeletedChain();
    CheckIndexTrees();
    CheckCounts();
    if (log_.Repair()) WriteRepaired();
  } catch (const TStopCheck&) {
  }
  data_.reset();
  index_.reset();
  blob_.reset();
  log_.Line(std::string(what) + name_ + " completed at " + Now());
  return log_.Repair() ? log_.UnfixableCount() == 0 : log_.FoundCount() == 0;
}

void TChecker::OpenFiles() {
  files_ = directory_.Files(name_);
  auto open = [&](TTableFile which) -> std::shared_ptr<TAbstractFile> {
    if (!files_.Exists(which)) return nullptr;
    return files_.Open(which, true, name_);
  };
  data_ = open(TTableFile::Data);
  if (!data_) throw EStoreEngineError(StoreCode::InvalidPath, {name_});
  if (log_.Repair() && data_->IsReadOnly())
    throw EStoreEngineError(StoreCode::AccessDenied, {name_});
  index_ = open(TTableFile::Index);
  blob_ = open(TTableFile::Blob);
  ResolvePendingJournal();
  dataSize_ = data_->Size();
  indexSize_ = index_ ? index_->Size() : 0;
  blobSize_ = blob_ ? blob_->Size() : 0;
}

void TChecker::ResolvePendingJournal() {
  // A change that a killed program left half written is undone first, as an open does: the
  // files are judged and mended as they stand before that change, never half written. The
  // table is held exclusively here, so no other program can be at work on it.
  if (files_.journal.empty()) return;
  TTableJournal journal(files_.journal, name_);
  if (!journal.Hot()) return;
  if (data_->IsReadOnly()) throw EStoreEngineError(StoreCode::AccessDenied, {name_});
  journal.Resolve({data_.get(), index_.get(), blob_.get()});
}

void TChecker::CheckDataHeader() {
  uint8_t raw[kDataHeaderSize]{};
  if (dataSize_ < kDataHeaderSize || data_->ReadAt(0, raw, kDataHeaderSize) != kDataHeaderSize) {
    log_.Unfixable("Table header cannot be read, ");
    throw TStopCheck{};
  }
  header_ = DecodeDataHeader(raw);
  if (header_.version != kFormatVersion) {
    log_.Unfixable("Invalid table version in table header, ");
    throw TStopCheck{};
  }
  if (header_.fieldCount < 1 || header_.fieldCount > kMaxFields ||
      kDataHeaderSize + int64_t{kFieldDescSize} * header_.fieldCount > dataSize_) {
    log_.Unfixable("Invalid field count in table header, ");
    throw TStopCheck{};
  }
  fieldCount_ = header_.fieldCount;
  if (raw[86] > 1) {
    log_.Unfixable("Invalid encryption flag in table header, ");
    throw TStopCheck{};
  }
  if (header_.encrypted) directory_.Session().CheckPassword(header_.password, name_);
  if (header_.languageId != 0 && !LanguageIsValid(static_cast<uint16_t>(header_.languageId),
                                                  static_cast<uint16_t>(header_.sortId))) {
    log_.Unfixable("Invalid language in table header, ");
    throw TStopCheck{};
  }
  if (header_.blobBlockSize != 0 && (header_.blobBlockSize < 64 || header_.blobBlockSize > 65535)) {
    log_.Found("Invalid BLOB block size in table header");
    header_.blobBlockSize = kDefaultBlobBlockSize;
  }
  blockSize_ = header_.BlobBlockSize();
  if (raw[35] > 50) header_.description.clear();
}

void TChecker::CheckFields() {
  const size_t bytes = static_cast<size_t>(kFieldDescSize) * static_cast<size_t>(fieldCount_);
  std::vector<uint8_t> raw(bytes);
  if (data_->ReadAt(kDataHeaderSize, raw.data(), static_cast<int64_t>(bytes)) !=
      static_cast<int64_t>(bytes)) {
    log_.Unfixable("Field descriptors cannot be read in table header, ");
    throw TStopCheck{};
  }
  DecipherDescriptors(raw, header_);
  std::vector<TFieldDesc> stored;
  for (int i = 0; i < fieldCount_; ++i)
    stored.push_back(
        DecodeFieldDesc(raw.data() + static_cast<size_t>(kFieldDescSize) * static_cast<size_t>(i)));
  // The descriptors are checked and mended as FieldCheck.h describes; each fault is a line.
  const std::string ending = " in table header";
  auto line = [&](TFieldFault fault, const TFieldDesc& f) {
    const std::string field = Quoted(f.name);
    switch (fault) {
      case TFieldFault::UnknownType:
        log_.Unfixable("Invalid field data type (unknown) for field " + field + ending + ", ");
        return;
      case TFieldFault::BlankName:
        log_.Found("Invalid field name (blank) for field # " + Str(f.number) + ending);
        return;
      default:
        break;
    }
    static const std::pair<TFieldFault, const char*> kLines[] = {
        {TFieldFault::Number, "Invalid field number for field "},
        {TFieldFault::LongName, "Invalid field name (too long) for field "},
        {TFieldFault::FirstCharacter, "Invalid field name (first character) for field "},
        {TFieldFault::DuplicateName, "Invalid field name (duplicate) for field "},
        {TFieldFault::Size, "Invalid field length for field "},
        {TFieldFault::Decimals, "Invalid field decimals for field "},
        {TFieldFault::Default, "Invalid default value for field "},
        {TFieldFault::Minimum, "Invalid minimum value for field "},
        {TFieldFault::Maximum, "Invalid maximum value for field "},
        {TFieldFault::Offset, "Invalid field offset for field "},
    };
    for (const auto& [which, text] : kLines)
      if (which == fault) log_.Found(text + field + ending);
  };
  TCheckedFields checked = MendFieldDescs(std::move(stored), line);
  if (!checked.laidOut) throw TStopCheck{};  // the layout of the records is not known
  fields_ = std::move(checked.fields);
  recordSize_ = checked.recordSize;
  if (recordSize_ > kMaxRecordSize) {
    log_.Unfixable("Invalid physical record length in table header, ");
    throw TStopCheck{};
  }
  if (header_.recordSize != recordSize_) {
    log_.Found("Invalid physical record length in table header");
    header_.recordSize = static_cast<uint16_t>(recordSize_);
  }
  const int blobFields = checked.blobFields;
  if (blobFields > kMaxBlobFields) {
    log_.Unfixable("Invalid BLOB field count in table header, ");
    throw TStopCheck{};
  }
  if (header_.blobFieldCount != blobFields) {
    log_.Found("Invalid BLOB field count in table header");
    header_.blobFieldCount = static_cast<int16_t>(blobFields);
  }
  // The slots the file holds.
  int64_t area = std::max<int64_t>(0, dataSize_ - DataStart());
  if (area % recordSize_ != 0)
    log_.Found("Physical records not aligned on even record size boundaries");
  int64_t whole = std::min<int64_t>(area / recordSize_, kMaxSlots);
  if (header_.nextPhysical - 1 != whole) {
    log_.Found("Physical record count not correct");
  }
  slotCount_ = static_cast<int32_t>(whole);

  // The BLOB file's header.
  if (blobFields > 0) {
    uint8_t bh[kBlobHeaderSize]{};
    if (!blob_ || blobSize_ < kBlobHeaderSize ||
        blob_->ReadAt(0, bh, kBlobHeaderSize) != kBlobHeaderSize) {
      log_.Found("BLOB file missing or its header cannot be read");
    } else {
      if (header_.encrypted) ApplyCipher(bh, kBlobHeaderSize, kBodyKey);
      blobUsable_ = true;
      blobEnd_ =
          static_cast<int32_t>(std::min<int64_t>(blobSize_, std::numeric_limits<int32_t>::max()));
      int32_t end = GetI32(bh + 13);
      int32_t free = GetI32(bh + 9);
      bool sound = bh[8] == 4 && end >= kBlobHeaderSize && end <= blobSize_ &&
                   (end - kBlobHeaderSize) % blockSize_ == 0 &&
                   (free == 0 || (free >= kBlobHeaderSize && free < end &&
                                  (free - kBlobHeaderSize) % blockSize_ == 0));
      if (!sound) log_.Found("Invalid BLOB file header");
      if ((blobSize_ - kBlobHeaderSize) % blockSize_ != 0)
        log_.Found("BLOB blocks not aligned on even block size boundaries");
      // Blocks are valid only below both the stored end and the file's end.
      if (sound) blobEnd_ = std::min(blobEnd_, end);
    }
  }
}

void TChecker::CheckIndexHeader() {
  std::vector<uint8_t> raw(kIndexHeaderSize);
  if (!index_ || indexSize_ < kIndexHeaderSize ||
      index_->ReadAt(0, raw.data(), kIndexHeaderSize) != kIndexHeaderSize) {
    log_.FoundWith("Index file header cannot be read", ", error fixed and index removed");
    return;
  }
  if (header_.encrypted) ApplyCipher(raw.data(), raw.size(), kBodyKey);
  // Read as it is, damage noted rather than refused (IndexHeader.h).
  const TIndexHeaderReading reading = ReadIndexHeaderLeniently(raw.data());
  const TIndexFileHeader& h = reading.header;
  bool sound = true;
  if (reading.wrongVersion) {
    log_.Found("Invalid version in index file header");
    sound = false;
  }
  if (reading.tooManySecondary) {
    log_.Found("Invalid index count in index file header");
    sound = false;
  }
  const bool noKeyFields = h.primaryNoKeyFields;
  indexRecordCount_ = h.recordCount;
  if (reading.badEndOffset || h.endOffset > indexSize_) sound = false;
  std::set<std::string> names;
  auto describe = [&](int slot) {
    if (reading.damagedSlot[static_cast<size_t>(slot)]) sound = false;
    if (slot == 0) return h.primary;
    if (slot == 31) return h.sysDeleted;
    return h.secondary[static_cast<size_t>(slot - 1)];
  };
  // Key fields must name fields of the table that are not BLOBs; the key size follows.
  auto checkFields = [&](TIndexDesc& desc, const std::string& shown) {
    std::vector<uint16_t> numbers;
    std::vector<bool> descending;
    for (size_t k = 0; k < desc.fieldNumbers.size(); ++k) {
      uint16_t n = desc.fieldNumbers[k];
      auto it = std::find_if(fields_.begin(), fields_.end(),
                             [&](const TFieldDesc& f) { return f.number == n; });
      if (it == fields_.end() || it->type == TStoreFieldType::Blob || it->noStorage) {
        log_.FoundWith("Invalid field number " + Str(n) + " in index " + Quoted(shown) +
                           ", field removed from index",
                       ", error fixed");
        sound = false;
        continue;
      }
      numbers.push_back(n);
      descending.push_back(desc.fieldDescending[k]);
    }
    desc.fieldNumbers = numbers;
    desc.fieldDescending = descending;
    int bytes = 0;
    for (uint16_t n : numbers)
      for (const auto& f : fields_)
        if (f.number == n) bytes += ValueWidth(f) + 1;
    int expected = bytes + (desc.unique ? 0 : 4);
    if (numbers.empty() || bytes > kMaxKeyFieldBytes) {
      log_.FoundWith("Invalid key size of " + Str(desc.keySize) + " for index " + Quoted(shown),
                     ", error fixed and index removed");
      sound = false;
      return false;
    }
    if (desc.keySize != expected) {
      log_.Found("Invalid key size of " + Str(desc.keySize) + " for index " + Quoted(shown));
      desc.keySize = static_cast<uint16_t>(expected);
      sound = false;
    }
    return true;
  };
  if (!noKeyFields) {
    TIndexDesc p = describe(0);
    p.name.clear();
    p.unique = true;
    if (checkFields(p, "Primary")) {
      hasPrimary_ = true;
      primary_ = p;
    }
  }
  for (int i = 1; i <= static_cast<int>(h.secondary.size()); ++i) {
    TIndexDesc s = describe(i);
    if (!NameValid(s.name)) {
      log_.FoundWith("Invalid index name for index # " + Str(i), ", error fixed and index removed");
      sound = false;
      continue;
    }
    if (!names.insert(AsciiLower(s.name)).second) {
      log_.FoundWith("Duplicate index name for index " + Quoted(s.name),
                     ", error fixed and index removed");
      sound = false;
      continue;
    }
    if (checkFields(s, s.name)) secondary_.push_back(s);
  }
  TIndexDesc sys = describe(31);
  if (sys.keySize != kSysDeletedKeySize || sys.name != kSysDeletedName) sound = false;
  indexHeaderSound_ = sound;
  if (!sound && !hasPrimary_ && secondary_.empty()) IndexesFromPages();
  if (!sound && log_.FoundCount() == 0) log_.Found("Index file header damaged");
  if (sound) {
    // The header must also pass the checks of opening.
    try {
      DecodeIndexHeader(raw.data(), name_);
    } catch (const EStoreEngineError&) {
      indexHeaderSound_ = false;
      log_.Found("Index file header damaged");
    }
  }
}

bool TChecker::MatchLeaf(const TIndexPage& leaf, int keySize, bool unique, TIndexDesc& desc) {
  const int n = std::min(leaf.Count(), 64);
  std::vector<std::vector<uint8_t>> images;
  for (int e = 0; e < n; ++e) {
    int32_t slot = leaf.refs[static_cast<size_t>(e)];
    if (slot < 1 || slot > slotCount_) return false;
    images.push_back(ReadSlotRaw(slot));
  }
  // Whether the keys of `candidate` built from the records agree with the entries' first
  // `bytes` bytes.
  auto agrees = [&](const TIndexDesc& candidate, int bytes) {
    try {
      TKeyLayout layout =
          TKeyLayout::Make(candidate, false, fields_, static_cast<uint16_t>(header_.languageId),
                           static_cast<uint16_t>(header_.sortId), name_);
      for (int e = 0; e < n; ++e) {
        const auto& image = images[static_cast<size_t>(e)];
        auto key = layout.BuildKey(image.data(), recordSize_, SlotLogicalId(image.data()), name_);
        if (static_cast<int>(key.size()) < bytes ||
            std::memcmp(key.data(), leaf.Key(e, keySize), static_cast<size_t>(bytes)) != 0)
          return false;
      }
      return true;
    } catch (const EStoreEngineError&) {
      return false;
    }
  };
  const int fieldBytes = unique ? keySize : keySize - 4;
  for (bool caseless : {false, true}) {
    TIndexDesc d;
    d.unique = true;
    d.caseInsensitive = caseless;
    int at = 0;
    while (at < fieldBytes && d.fieldNumbers.size() < 16) {
      bool extended = false;
      for (const TFieldDesc& f : fields_) {
        if (f.type == TStoreFieldType::Blob || f.noStorage) continue;
        const int width = ValueWidth(f) + 1;
        if (at + width > fieldBytes) continue;
        d.fieldNumbers.push_back(f.number);
        d.fieldDescending.push_back(false);
        if (agrees(d, at + width)) {
          at += width;
          extended = true;
          break;
        }
        d.fieldNumbers.pop_back();
        d.fieldDescending.pop_back();
      }
      if (!extended) break;
    }
    if (at != fieldBytes || d.fieldNumbers.empty()) continue;
    d.unique = unique;
    if (!unique && !agrees(d, keySize)) continue;
    d.keySize = static_cast<uint16_t>(keySize);
    // A descending index keeps the same key bytes in the reverse order.
    if (header_.languageId == 0 && leaf.Count() > 1)
      d.descending =
          std::memcmp(leaf.Key(0, keySize), leaf.Key(1, keySize), static_cast<size_t>(keySize)) > 0;
    desc = d;
    return true;
  }
  return false;
}

void TChecker::IndexesFromPages() {
  const int64_t pages = std::min<int64_t>(indexSize_ / kIndexPageSize, 1 << 20);
  std::vector<uint8_t> raw(kIndexPageSize);
  auto read = [&](int64_t at) {
    if (index_->ReadAt(at, raw.data(), kIndexPageSize) != kIndexPageSize) return false;
    if (header_.encrypted) ApplyCipher(raw.data(), raw.size(), kBodyKey);
    return true;
  };
  const int32_t end = static_cast<int32_t>(pages * kIndexPageSize);
  auto decodes = [&](const TIndexPageFormat& format, int32_t at, TIndexPage& page) {
    try {
      DecodeIndexPage(raw.data(), format, at, end, name_, page);
    } catch (const EStoreEngineError&) {
      return false;
    }
    if (page.Count() == 0) return false;
    if (!format.Compressed()) {
      // Nothing but zero bytes after the entries of a page that is not compressed.
      const size_t used =
          kIndexPageHeaderSize + static_cast<size_t>(page.Count()) *
                                     static_cast<size_t>(format.keySize + (page.IsLeaf() ? 4 : 8));
      if (used > raw.size() || raw[11] != 0 || raw[12] != 0 ||
          !std::all_of(raw.begin() + static_cast<long>(used), raw.end(),
                       [](uint8_t b) { return b == 0; }))
        return false;
    }
    return true;
  };
  struct TFound {
    TIndexDesc desc;
    int32_t firstLeaf;
  };
  std::vector<TFound> found;
  std::vector<int32_t> lost;
  for (int64_t p = 1; p < pages; ++p) {
    const int32_t at = static_cast<int32_t>(p * kIndexPageSize);
    if (!read(at)) break;
    const uint8_t kind = raw[0];
    if ((kind != IndexPageKind::Root && kind != IndexPageKind::RootLeaf) || GetU16(&raw[1]) == 0 ||
        GetI32(&raw[3]) != 0 || GetI32(&raw[7]) != 0)
      continue;
    const std::vector<uint8_t> root = raw;
    bool matched = false, sysDeleted = false;
    for (int ks = 1; ks <= kMaxKeyFieldBytes + 4 && !matched && !sysDeleted; ++ks) {
      // Upper pages are never compressed: the key size must read the root's entries.
      int32_t leafAt = at;
      TIndexPage page;
      if (kind == IndexPageKind::Root) {
        raw = root;
        if (!decodes(TIndexPageFormat{ks, true, TIndexCompression::None}, at, page)) continue;
        bool leafFound = false;
        for (int depth = 0; depth < 32 && !leafFound; ++depth) {
          leafAt = page.refs[0];
          if (!read(leafAt)) break;
          if (raw[0] == IndexPageKind::Leaf)
            leafFound = true;
          else if (raw[0] != IndexPageKind::Inner ||
                   !decodes(TIndexPageFormat{ks, true, TIndexCompression::None}, leafAt, page))
            break;
        }
        if (!leafFound) continue;
      }
      const std::vector<uint8_t> leafRaw = raw;
      for (auto compression : {TIndexCompression::None, TIndexCompression::DupByte,
                               TIndexCompression::TrailByte, TIndexCompression::Full}) {
        for (bool unique : {true, false}) {
          if (!unique && ks <= 4) continue;
          raw = leafRaw;
          TIndexPage leaf;
          if (!decodes(TIndexPageFormat{ks, unique, compression}, leafAt, leaf)) continue;
          if (ks == kSysDeletedKeySize && compression == TIndexCompression::None && unique) {
            // The internal index of deleted flags and ids is made anew; it is not looked for.
            const int32_t slot = leaf.refs[0];
            if (slot >= 1 && slot <= slotCount_) {
              auto image = ReadSlotRaw(slot);
              auto key = TKeyLayout::SysDeletedKey(image[0] != 0, SlotLogicalId(image.data()));
              if (std::memcmp(key.data(), leaf.Key(0, ks), key.size()) == 0) {
                sysDeleted = true;
                break;
              }
            }
          }
          TIndexDesc desc;
          if (!MatchLeaf(leaf, ks, unique, desc)) continue;
          desc.compression = compression;
          found.push_back({desc, leafAt});
          matched = true;
          break;
        }
        if (matched || sysDeleted) break;
      }
    }
    if (!matched && !sysDeleted) lost.push_back(at);
  }
  // The primary index is the unique one whose first leaf came first: it is defined before any
  // secondary index, and a tree keeps its first leaf as it grows.
  auto primary = found.end();
  for (auto it = found.begin(); it != found.end(); ++it)
    if (it->desc.unique && (primary == found.end() || it->firstLeaf < primary->firstLeaf))
      primary = it;
  std::sort(found.begin(), found.end(),
            [](const TFound& a, const TFound& b) { return a.firstLeaf < b.firstLeaf; });
  int number = 0;
  for (TFound& f : found) {
    const bool isPrimary = primary != found.end() && f.firstLeaf == primary->firstLeaf;
    if (!isPrimary && secondary_.size() >= 30) continue;
    f.desc.name = isPrimary ? "" : "Repaired_Index" + Str(++number);
    log_.Found("Index definition for index " + Quoted(isPrimary ? "Primary" : f.desc.name) +
               " rebuilt from the index pages");
    if (isPrimary) {
      hasPrimary_ = true;
      primary_ = f.desc;
    } else {
      secondary_.push_back(f.desc);
    }
  }
  for (int32_t at : lost)
    log_.FoundWith("Index definition of the index whose root page is at offset " + Str(at) +
                       " not found in the index pages",
                   ", error fixed and index removed");
}

std::vector<uint8_t> TChecker::ReadSlotRaw(int32_t slot) {
  // Slots are read a megabyte at a time; the checks walk them in order several times.
  const int64_t at = DataStart() + int64_t{slot - 1} * recordSize_;
  if (at < chunkStart_ || at + recordSize_ > chunkStart_ + static_cast<int64_t>(chunk_.size())) {
    int64_t slots = std::max<int64_t>(1, (1 << 20) / recordSize_);
    int64_t size = std::min<int64_t>(slots * recordSize_, dataSize_ - at);
    if (size < recordSize_) throw EStoreEngineError(StoreCode::ReadError, {name_});
    chunk_.resize(static_cast<size_t>(size));
    if (data_->ReadAt(at, chunk_.data(), size) != size) {
      chunk_.clear();
      throw EStoreEngineError(StoreCode::ReadError, {name_});
    }
    chunkStart_ = at;
  }
  auto from = chunk_.begin() + (at - chunkStart_);
  std::vector<uint8_t> image(from, from + recordSize_);
  if (header_.encrypted) ApplyCipher(image.data(), image.size(), kBodyKey);
  return image;
}

bool TChecker::ReadBlobValue(int32_t r, int32_t first, int32_t id, std::string& value) {
  value.clear();
  if (!blobUsable_) {
    log_.Found("Invalid BLOB offset into BLOB file for physical record # " + Str(r));
    return false;
  }
  std::vector<uint8_t> block(static_cast<size_t>(blockSize_));
  TBlobChain chain =
      WalkBlobChain(first, id, blockSize_, blobEnd_, [&](int32_t offset) -> const uint8_t* {
        if (blob_->ReadAt(offset, block.data(), blockSize_) != blockSize_) return nullptr;
        if (header_.encrypted) {
          ApplyCipher(block.data(), kBlobBlockHeaderSize, kBodyKey);
          ApplyCipher(block.data() + kBlobBlockHeaderSize,
                      static_cast<size_t>(blockSize_ - kBlobBlockHeaderSize), kBodyKey);
        }
        return block.data();
      });
  // A value whose first block is sound keeps its data up to the first bad link; a length that
  // differs from the data is mended to the data's.
  const std::string at = " in BLOB file for physical record # " + Str(r);
  switch (chain.fault) {
    case TBlobFault::None:
      value = std::move(chain.value);
      return true;
    case TBlobFault::FirstOffset:
      log_.Found("Invalid BLOB offset into BLOB file for physical record # " + Str(r));
      return false;
    case TBlobFault::OtherValue:
      log_.Found("Invalid BLOB offset" + at);
      return false;
    case TBlobFault::BlockSize:
      log_.Found("Invalid block size" + at);
      break;
    case TBlobFault::Pointer:
      log_.Found("Invalid intra-block pointer" + at);
      break;
    case TBlobFault::Recursive:
      log_.Found("Recursive intra-block pointer" + at);
      break;
    case TBlobFault::SizeMismatch:
      log_.Found("BLOB size mismatch" + at);
      break;
  }
  value = std::move(chain.value);
  return true;
}

struct TRecordValues {
  std::vector<uint8_t> image;
  TBlobChanges blobs;
};

void TChecker::CheckSlots() {
  slots_.assign(static_cast<size_t>(slotCount_) + 1, TSlot{});
  std::unordered_map<int32_t, int32_t> ids;  // logical id -> first slot
  std::vector<int32_t> needId;
  std::unordered_set<int32_t> blocksInUse;
  int lastPercent = -1;
  for (int32_t r = 1; r <= slotCount_; ++r) {
    std::vector<uint8_t> image = ReadSlotRaw(r);
    TSlot& s = slots_[static_cast<size_t>(r)];
    uint8_t flag = SlotDeletedFlag(image.data());
    int32_t number = SlotLink(image.data());
    s.active = flag == 0 || (flag != 1 && number == r);
    if (flag > 1 || (s.active && number != r))
      log_.Found("Invalid record header for physical record # " + Str(r));
    s.logicalId = SlotLogicalId(image.data());
    if (s.logicalId <= 0) {
      log_.Found("Logical record ID for physical record # " + Str(r) + " is invalid");
      needId.push_back(r);
    } else if (!ids.emplace(s.logicalId, r).second) {
      log_.Found("Logical record ID for physical record # " + Str(r) + " is a duplicate");
      needId.push_back(r);
    }
    if (s.logicalId > highestId_) highestId_ = s.logicalId;
    if (!s.active) continue;
    ++activeCount_;
    for (const auto& f : fields_) {
      if (f.IsAutoInc() || f.noStorage) continue;
      if (!FieldPlausible(f, image.data())) {
        log_.Found("Invalid field value for field " + Quoted(f.name) + " for physical record # " +
                   Str(r));
        continue;
      }
      const uint8_t* v = image.data() + ValueOffset(f);
      if (image[f.offset] == 0 || f.type != TStoreFieldType::Blob) continue;
      int32_t first = GetI32(v), id = GetI32(v + 4);
      if (first == 0) continue;
      std::string value;
      // A chain may belong to one value only.
      if (ReadBlobValue(r, first, id, value) && !blocksInUse.insert(first).second)
        log_.Found("Invalid intra-block pointer in BLOB file for physical record # " + Str(r));
    }
    int percent = static_cast<int>(int64_t{r} * 100 / std::max(slotCount_, 1));
    if (events_.progress && percent != lastPercent) {
      lastPercent = percent;
      events_.progress(r, percent);
    }
  }
  // Records without a valid id get new ones after the highest.
  for (int32_t r : needId) {
    TSlot& s = slots_[static_cast<size_t>(r)];
    s.logicalId = highestId_ == 2'147'483'647 ? 1 : ++highestId_;
  }
  if (events_.progress && lastPercent != 100) events_.progress(slotCount_, 100);
}

void TChecker::CheckDeletedChain() {
  // Every deleted slot once on the chain, no active slot on it, no loop.
  std::vector<bool> onChain(static_cast<size_t>(slotCount_) + 1, false);
  int32_t at = header_.deletedChain;
  int64_t steps = 0;
  bool sound = true;
  while (at != 0) {
    if (at < 0 || at > slotCount_ || onChain[static_cast<size_t>(at)] ||
        slots_[static_cast<size_t>(at)].active || ++steps > slotCount_) {
      sound = false;
      break;
    }
    onChain[static_cast<size_t>(at)] = true;
    at = SlotLink(ReadSlotRaw(at).data());
  }
  for (int32_t r = 1; sound && r <= slotCount_; ++r)
    if (!slots_[static_cast<size_t>(r)].active && !onChain[static_cast<size_t>(r)]) sound = false;
  if (!sound) log_.Found("Invalid chain of deleted records in table header");
}

void TChecker::CheckIndexTrees() {
  if (!indexHeaderSound_ || !index_) return;
  std::unique_ptr<TIndexFile> file;
  try {
    file =
        std::make_unique<TIndexFile>(*index_, fields_, TIndexFileOptions::ForTable(name_, header_));
  } catch (const EStoreEngineError&) {
    log_.Found("Index file header damaged");
    return;
  }
  std::vector<TIndexTree*> trees;
  if (file->Primary()) trees.push_back(file->Primary());
  for (int i = 0; i < file->SecondaryCount(); ++i) trees.push_back(&file->Secondary(i));
  trees.push_back(&file->SysDeleted());
  for (TIndexTree* t : trees) {
    std::string shown = t == &file->SysDeleted() ? "Sys Deleted" : TIndexFile::DisplayName(*t);
    bool sound = true;
    try {
      sound = t->Verify().empty();
      int64_t expected = t == &file->SysDeleted() ? slotCount_ : activeCount_;
      if (sound && t->Count() != expected) sound = false;
      for (int32_t r = 1; sound && r <= slotCount_; ++r) {
        const TSlot& s = slots_[static_cast<size_t>(r)];
        if (t == &file->SysDeleted()) {
          uint8_t key[5];
          key[0] = s.active ? 0 : 1;
          uint32_t id = static_cast<uint32_t>(s.logicalId) ^ 0x80000000u;
          key[1] = static_cast<uint8_t>(id >> 24);
          key[2] = static_cast<uint8_t>(id >> 16);
          key[3] = static_cast<uint8_t>(id >> 8);
          key[4] = static_cast<uint8_t>(id);
          auto found = t->Find(key);
          sound = found && *found == r;
          continue;
        }
        if (!s.active) continue;
        std::vector<uint8_t> image = ReadSlotRaw(r);
        auto key = t->Layout().BuildKey(image.data(), recordSize_, s.logicalId, name_);
        auto found = t->Find(key.data());
        sound = found && *found == r;
      }
    } catch (const EStoreEngineError&) {
      sound = false;
    }
    if (!sound) log_.Found("Index " + Quoted(shown) + " does not match the records");
  }
}

void TChecker::CheckCounts() {
  if (!log_.Repair() && indexRecordCount_ >= 0 && indexRecordCount_ != activeCount_)
    log_.Found("Record count in index file header not correct");
  if (header_.lastLogicalId < highestId_)
    log_.Found("Invalid next available record ID (auto-increment)");
}

void TChecker::WriteRepaired() {
  // A new table is built beside the damaged one and then takes its place.
  const TTableFiles temp = TTableFiles::Temporary(files_.Folder(), files_.inMemory, "_RP");
  TNewTable table;
  table.header = header_;
  table.header.lastLogicalId = std::max(header_.lastLogicalId, highestId_);
  table.fields = fields_;
  // The new table cannot hold more than the limits allow: a primary index the records break
  // is dropped rather than losing the records (the lines above said so).
  table.hasPrimary = hasPrimary_;
  table.primary = primary_;
  table.secondary = secondary_;
  auto builder = std::make_unique<TTableBuilder>(temp, name_, table);
  std::unordered_set<int32_t> blocksCopied;
  for (int32_t r = 1; r <= slotCount_; ++r) {
    TSlot& s = slots_[static_cast<size_t>(r)];
    if (!s.active) {
      builder->PutDeleted(r, s.logicalId);
      continue;
    }
    std::vector<uint8_t> image = ReadSlotRaw(r);
    SetSlotDeletedFlag(image.data(), 0);
    SetSlotLink(image.data(), r);
    SetSlotLogicalId(image.data(), s.logicalId);
    TBlobChanges blobs;
    for (size_t i = 0; i < fields_.size(); ++i) {
      const TFieldDesc& f = fields_[i];
      if (f.IsAutoInc() || f.noStorage) continue;
      uint8_t& nullFlag = image[f.offset];
      if (nullFlag > 1) nullFlag = 1;
      if (nullFlag == 0) {
        std::fill(image.begin() + ValueOffset(f), image.begin() + ValueOffset(f) + f.width, 0);
        continue;
      }
      if (f.type == TStoreFieldType::String)
        image[static_cast<size_t>(ValueOffset(f) + f.width - 1)] = 0;
      if (f.type == TStoreFieldType::Boolean && GetU16(image.data() + ValueOffset(f)) > 1)
        PutU16(image.data() + ValueOffset(f), 1);
      if (f.type != TStoreFieldType::Blob) continue;
      const uint8_t* v = image.data() + ValueOffset(f);
      int32_t first = GetI32(v), id = GetI32(v + 4);
      std::string value;
      if (first != 0) {
        // The lines were written by the check; the value is read again without them.
        log_.SetQuiet(true);
        bool kept = ReadBlobValue(r, first, id, value);
        log_.SetQuiet(false);
        if (!kept || !blocksCopied.insert(first).second) value.clear();
      }
      if (!value.empty()) blobs[i] = value;
    }
    if (!builder->DuplicateIn(image.data()).empty()) {
      log_.Line("Error rebuilding index keys for physical record # " + Str(r) +
                ", error fixed but physical record deleted");
      builder->PutDeleted(r, s.logicalId);
      continue;
    }
    builder->Put(image, blobs, r);
  }
  builder->Finish(std::max(header_.lastLogicalId, highestId_));
  auto fresh = builder->TakeFiles();
  data_.reset();
  index_.reset();
  blob_.reset();
  InstallTable(directory_, name_, files_, temp, std::move(fresh), false);
}

}  // namespace

bool CheckTable(TDataDirectory& directory, const std::string& tableName, bool repair,
                TRepairEvents& events) {
  if (directory.TableIsOpen(tableName))
    throw EStoreEngineError(StoreCode::AccessDenied, {tableName});
  TChecker checker(directory, tableName, repair, events);
  return checker.Run();
}

}  // namespace quellor
