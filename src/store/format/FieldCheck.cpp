#include "store/format/FieldCheck.h"

#include <algorithm>
#include <set>

#include "store/api/StoreError.h"
#include "store/format/AsciiText.h"
#include "store/format/DataFile.h"
#include "store/format/FieldValue.h"
#include "store/format/TableFormat.h"

namespace quellor {

namespace {

bool KnownType(TStoreFieldType type) {
  auto code = static_cast<uint8_t>(type);
  return code >= 1 && code <= 15;
}

bool Sized(TStoreFieldType type) {
  return type == TStoreFieldType::String || type == TStoreFieldType::Bytes ||
         type == TStoreFieldType::VarBytes;
}

bool SizeValid(TStoreFieldType type, int size) {
  return Sized(type) ? size >= 1 && size <= kMaxFieldSize : size == 0;
}

bool DecimalsValid(TStoreFieldType type, int decimals) {
  return type == TStoreFieldType::BCD ? decimals >= 0 && decimals <= kMaxBcdDecimals
                                      : decimals == 0;
}

bool TextFits(const std::string& text) {
  return text.size() <= static_cast<size_t>(kMaxTextLength);
}

std::string RepairedName(uint16_t number) {
  return "Repaired_Fld" + std::to_string(number);
}

int CountBlobFields(const std::vector<TFieldDesc>& fields) {
  return static_cast<int>(std::count_if(fields.begin(), fields.end(), [](const TFieldDesc& f) {
    return f.type == TStoreFieldType::Blob;
  }));
}

}  // namespace

TCheckedFields CheckFieldPlans(const std::vector<TFieldPlan>& plans, uint16_t highestNumber,
                               const std::string& tableName) {
  auto raise = [&](uint16_t code, const std::string& field) {
    throw EStoreEngineError(code, {field, tableName});
  };
  if (plans.empty() || plans.size() > static_cast<size_t>(kMaxFields))
    throw EStoreEngineError(StoreCode::FieldLimits, {tableName});

  // Names first: they are what the messages of the other rules name.
  std::set<std::string> names;
  for (const TFieldPlan& plan : plans) {
    std::string name = TrimBlanks(plan.desc.name);
    if (!NameValid(name) || !names.insert(AsciiLower(name)).second)
      raise(StoreCode::DuplicateFieldName, plan.desc.name);
  }

  uint16_t highest = highestNumber;
  for (const TFieldPlan& plan : plans) highest = std::max(highest, plan.desc.number);
  std::set<uint16_t> numbers;
  TCheckedFields out;
  for (const TFieldPlan& plan : plans) {
    TFieldDesc f = plan.desc;
    f.name = TrimBlanks(f.name);
    f.noStorage = false;
    if (!plan.known || !KnownType(f.type)) raise(StoreCode::InvalidFieldDef, f.name);
    if (f.number == 0) {
      if (highest == 65535) raise(StoreCode::InvalidFieldDef, f.name);
      f.number = ++highest;
    }
    if (!numbers.insert(f.number).second) raise(StoreCode::InvalidFieldDef, f.name);
    f.size = 0;
    f.decimals = 0;
    if (Sized(f.type)) {
      if (!SizeValid(f.type, plan.size)) raise(StoreCode::InvalidFieldDef, f.name);
      f.size = static_cast<uint8_t>(plan.size);
    } else if (f.type == TStoreFieldType::BCD) {
      if (!DecimalsValid(f.type, plan.size)) raise(StoreCode::InvalidFieldDef, f.name);
      f.decimals = static_cast<uint8_t>(plan.size);
    } else if (plan.size != 0) {
      raise(StoreCode::InvalidFieldDef, f.name);
    }
    if (!TextFits(f.description)) raise(StoreCode::InvalidFieldDef, f.name);
    for (const auto* text : {&f.defaultValue, &f.minimum, &f.maximum})
      if (!TextFits(*text)) raise(StoreCode::InvalidValidityCheck, f.name);
    // Conversions of default, minimum and maximum, and the character case.
    if (!FieldDefinitionValid(f)) raise(StoreCode::InvalidValidityCheck, f.name);
    out.fields.push_back(std::move(f));
  }
  out.blobFields = CountBlobFields(out.fields);
  if (out.blobFields > kMaxBlobFields)
    throw EStoreEngineError(StoreCode::BlobFieldLimits, {tableName});
  out.recordSize = LayoutFields(out.fields);
  if (out.recordSize > kMaxRecordSize)
    throw EStoreEngineError(StoreCode::MaxRecordSize, {tableName});
  return out;
}

TCheckedFields MendFieldDescs(std::vector<TFieldDesc> fields, const TFieldFaultReport& report) {
  auto found = [&](TFieldFault fault, const TFieldDesc& f) {
    if (report) report(fault, f);
  };
  TCheckedFields out;
  // Without its type a field's width is not known, nor where the fields after it lie.
  for (const TFieldDesc& f : fields)
    if (!KnownType(f.type)) {
      found(TFieldFault::UnknownType, f);
      out.laidOut = false;
    }
  if (!out.laidOut) {
    out.fields = std::move(fields);
    return out;
  }

  std::vector<uint16_t> storedOffsets;
  uint16_t highest = 0;
  for (const TFieldDesc& f : fields) {
    storedOffsets.push_back(f.offset);
    highest = std::max(highest, f.number);
  }
  std::set<uint16_t> numbers;
  std::set<std::string> names;
  for (TFieldDesc& f : fields) {
    if (f.number == 0 || numbers.count(f.number)) {
      found(TFieldFault::Number, f);
      f.number = ++highest;
    }
    numbers.insert(f.number);

    if (TrimBlanks(f.name).empty()) {
      found(TFieldFault::BlankName, f);
      f.name = RepairedName(f.number);
    } else if (f.name.size() > static_cast<size_t>(kMaxNameLength)) {
      found(TFieldFault::LongName, f);
      f.name.resize(kMaxNameLength);
    } else if (!NameValid(f.name)) {
      found(TFieldFault::FirstCharacter, f);
      f.name = RepairedName(f.number);
    }
    if (!names.insert(AsciiLower(f.name)).second) {
      found(TFieldFault::DuplicateName, f);
      f.name = RepairedName(f.number);
      names.insert(AsciiLower(f.name));
    }

    if (!SizeValid(f.type, f.size)) {
      found(TFieldFault::Size, f);
      // The stored width still tells the size.
      int fromWidth = f.type == TStoreFieldType::String ? f.width - 1 : f.width;
      f.size = Sized(f.type) ? static_cast<uint8_t>(std::clamp(fromWidth, 1, kMaxFieldSize)) : 0;
    }
    if (!DecimalsValid(f.type, f.decimals)) {
      found(TFieldFault::Decimals, f);
      f.decimals = f.type == TStoreFieldType::BCD ? kMaxBcdDecimals : 0;
    }
    if (static_cast<uint8_t>(f.charCase) > 2) f.charCase = TCharCase::Unchanged;
    if (!TextFits(f.description)) f.description.resize(kMaxTextLength);
    const std::pair<std::string*, TFieldFault> texts[] = {{&f.defaultValue, TFieldFault::Default},
                                                          {&f.minimum, TFieldFault::Minimum},
                                                          {&f.maximum, TFieldFault::Maximum}};
    for (const auto& [text, fault] : texts) {
      if (text->empty() || (TextFits(*text) && ConstantConverts(f, *text))) continue;
      found(fault, f);
      text->clear();
    }
  }
  out.recordSize = LayoutFields(fields);
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].offset != storedOffsets[i]) found(TFieldFault::Offset, fields[i]);
  out.blobFields = CountBlobFields(fields);
  out.fields = std::move(fields);
  return out;
}

}  // namespace quellor
