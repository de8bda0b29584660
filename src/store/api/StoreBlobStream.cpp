// TStoreBlobStream (StoreTb.h): a stream over a BLOB field, kept in memory and handed to the
// field when flushed.
#include <algorithm>
#include <cstring>

#include "store/api/StoreTb.h"

namespace quellor {

TStoreBlobStream::TStoreBlobStream(TStoreField& field, TBlobStreamMode mode)
    : field_(field), mode_(mode) {
  if (field.Desc().type != TStoreFieldType::Blob)
    throw EStoreEngineError(StoreCode::InvalidBlobField, {field.FieldName(), ""});
  if (mode != TBlobStreamMode::Read) {
    // Writing: the field's own checks tell a closed or browsing dataset.
    field.SetAsString(mode == TBlobStreamMode::Write ? std::string() : field.AsString());
    modified_ = mode == TBlobStreamMode::Write;
  }
  if (mode != TBlobStreamMode::Write) data_ = field.AsString();
}

TStoreBlobStream::~TStoreBlobStream() {
  try {
    Flush();
  } catch (...) {
    // A destructor cannot report; Flush() before it does.
  }
}

int64_t TStoreBlobStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  int64_t n = std::min(count, Size() - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TStoreBlobStream::Write(const void* buffer, int64_t count) {
  if (mode_ == TBlobStreamMode::Read)
    throw EDatabaseError("Cannot write to a read-only BLOB stream");
  if (count <= 0) return 0;
  if (position_ + count > Size()) data_.resize(static_cast<size_t>(position_ + count), '\0');
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ += count;
  modified_ = true;
  return count;
}

int64_t TStoreBlobStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::Beginning ? 0
                 : origin == TSeekOrigin::Current ? position_
                                                  : Size();
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

void TStoreBlobStream::SetSize(int64_t size) {
  if (mode_ == TBlobStreamMode::Read)
    throw EDatabaseError("Cannot write to a read-only BLOB stream");
  data_.resize(static_cast<size_t>(std::max<int64_t>(0, size)), '\0');
  position_ = std::min(position_, Size());
  modified_ = true;
}

void TStoreBlobStream::Flush() {
  if (!modified_) return;
  field_.SetAsString(data_);
  modified_ = false;
}

}  // namespace quellor
