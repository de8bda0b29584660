#include "store/expr/ExprContext.h"

#include <cctype>

namespace quellor {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

TExprTableScope::TExprTableScope(std::string tableName, std::vector<TFieldDesc> fields)
    : tableName_(std::move(tableName)), fields_(std::move(fields)) {}

TExprType TExprTableScope::TypeOf(TStoreFieldType type) {
  switch (type) {
    case TStoreFieldType::String:
      return TExprType::String;
    case TStoreFieldType::Date:
      return TExprType::Date;
    case TStoreFieldType::Blob:
      return TExprType::Memo;
    case TStoreFieldType::Boolean:
      return TExprType::Boolean;
    case TStoreFieldType::SmallInt:
      return TExprType::SmallInt;
    case TStoreFieldType::Integer:
    case TStoreFieldType::UInt32:
      return TExprType::Integer;
    case TStoreFieldType::Float:
    case TStoreFieldType::Float10:
      return TExprType::Float;
    case TStoreFieldType::BCD:
      return TExprType::BCD;
    case TStoreFieldType::Bytes:
    case TStoreFieldType::VarBytes:
      return TExprType::Bytes;
    case TStoreFieldType::Time:
      return TExprType::Time;
    case TStoreFieldType::TimeStamp:
      return TExprType::TimeStamp;
    case TStoreFieldType::Word:
      return TExprType::Word;
  }
  return TExprType::Null;
}

std::optional<TExprField> TExprTableScope::FindField(std::string_view correlation,
                                                     std::string_view name) const {
  if (!correlation.empty()) {
    // The table's own name, with or without its extension, may stand before a field.
    std::string_view table = tableName_;
    size_t slash = table.find_last_of("/\\");
    if (slash != std::string_view::npos) table.remove_prefix(slash + 1);
    size_t dot = table.rfind('.');
    std::string_view bare = dot == std::string_view::npos ? table : table.substr(0, dot);
    if (!EqualsNoCase(correlation, table) && !EqualsNoCase(correlation, bare)) return std::nullopt;
  }
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (EqualsNoCase(fields_[i].name, name))
      return TExprField{static_cast<int>(i), TypeOf(fields_[i].type), fields_[i].name};
  }
  return std::nullopt;
}

}  // namespace quellor
