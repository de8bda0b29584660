#include "store/os/RunWriter.h"

#include <utility>

#include "store/api/StoreError.h"

namespace quellor {

TRunWriter::TRunWriter(TAbstractFile& file, std::string tableName, TWritten written)
    : file_(file), tableName_(std::move(tableName)), written_(std::move(written)) {}

uint8_t* TRunWriter::Add(int64_t offset, size_t size) {
  const int64_t next = start_ + static_cast<int64_t>(run_.size());
  if (!run_.empty() && (offset != next || run_.size() >= kMaxRunBytes)) WriteRun();
  if (run_.empty()) start_ = offset;
  added_ = true;
  const size_t at = run_.size();
  run_.resize(at + size);
  return run_.data() + at;
}

bool TRunWriter::Finish() {
  WriteRun();
  return added_;
}

void TRunWriter::WriteRun() {
  if (run_.empty()) return;
  const int64_t size = static_cast<int64_t>(run_.size());
  if (file_.WriteAt(start_, run_.data(), size) != size)
    throw EStoreEngineError(StoreCode::WriteError, {tableName_});
  run_.clear();
  if (written_) written_(start_, size);
}

}  // namespace quellor
