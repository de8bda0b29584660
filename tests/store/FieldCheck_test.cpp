// The check of field descriptors: strict for the definitions of create and restructure (the
// first fault refuses them with its code), lenient for the stored descriptors verify and repair
// read (every fault reported and mended).
#include "store/format/FieldCheck.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "store/api/StoreError.h"
#include "store/format/DataFile.h"

namespace quellor::test {
namespace {

TFieldPlan Plan(const std::string& name, TStoreFieldType type, int size = 0, uint16_t number = 0) {
  TFieldPlan plan;
  plan.desc.name = name;
  plan.desc.type = type;
  plan.desc.number = number;
  plan.size = size;
  return plan;
}

std::vector<TFieldPlan> Good() {
  return {Plan("Name", TStoreFieldType::String, 10), Plan("Num", TStoreFieldType::Integer),
          Plan("Amount", TStoreFieldType::BCD, 2)};
}

int CodeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const EStoreEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(FieldCheck, StrictRefusesTheFirstFaultWithItsCode) {
  using T = TStoreFieldType;
  struct Case {
    const char* what;
    std::function<void(std::vector<TFieldPlan>&)> change;
    int code;
  };
  const Case cases[] = {
      {"sound", [](auto&) {}, 0},
      {"no fields", [](auto& p) { p.clear(); }, 9492},
      {"1025 fields",
       [](auto& p) {
         p.clear();
         for (int i = 0; i < 1025; ++i) p.push_back(Plan("F" + std::to_string(i), T::Boolean));
       },
       9492},
      {"name starting with a digit", [](auto& p) { p[1].desc.name = "1abc"; }, 10038},
      {"name of 31 characters", [](auto& p) { p[1].desc.name = std::string(31, 'a'); }, 10038},
      {"blank name", [](auto& p) { p[1].desc.name = "  "; }, 10038},
      {"same name in other case", [](auto& p) { p[1].desc.name = "NAME"; }, 10038},
      {"names come before types",
       [](auto& p) {
         p[0].known = false;
         p[2].desc.name = "2x";
       },
       10038},
      {"kind without a type code", [](auto& p) { p[1].known = false; }, 10000},
      {"type code 16", [](auto& p) { p[1].desc.type = static_cast<T>(16); }, 10000},
      {"same field number",
       [](auto& p) {
         p[0].desc.number = 4;
         p[1].desc.number = 4;
       },
       10000},
      {"string of size 0", [](auto& p) { p[0].size = 0; }, 10000},
      {"string of size 251", [](auto& p) { p[0].size = 251; }, 10000},
      {"BCD with 5 decimals", [](auto& p) { p[2].size = 5; }, 10000},
      {"integer with a size", [](auto& p) { p[1].size = 4; }, 10000},
      {"description of 51 characters",
       [](auto& p) { p[1].desc.description = std::string(51, 'd'); }, 10000},
      {"default of 51 characters", [](auto& p) { p[0].desc.defaultValue = std::string(51, 'd'); },
       10006},
      {"maximum that is no integer", [](auto& p) { p[1].desc.maximum = "abc"; }, 10006},
      {"character case 3", [](auto& p) { p[1].desc.charCase = static_cast<TCharCase>(3); }, 10006},
      {"65 BLOB fields",
       [](auto& p) {
         for (int i = 0; i < 65; ++i) p.push_back(Plan("B" + std::to_string(i), T::Blob));
       },
       9498},
      {"record of 65,536 bytes",
       [](auto& p) {
         for (int i = 0; i < 262; ++i) p.push_back(Plan("S" + std::to_string(i), T::String, 250));
       },
       9477},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TFieldPlan> plans = Good();
    c.change(plans);
    EXPECT_EQ(CodeOf([&] { CheckFieldPlans(plans, 0, "t"); }), c.code);
  }
}

TEST(FieldCheck, StrictNumbersNewFieldsAfterTheHighestAndLaysThemOut) {
  std::vector<TFieldPlan> plans = Good();
  plans[1].desc.number = 3;
  plans[0].desc.name = " Name ";
  TCheckedFields checked = CheckFieldPlans(plans, 7, "t");
  ASSERT_EQ(checked.fields.size(), 3u);
  EXPECT_EQ(checked.fields[0].name, "Name");
  EXPECT_EQ(checked.fields[0].number, 8);
  EXPECT_EQ(checked.fields[1].number, 3);
  EXPECT_EQ(checked.fields[2].number, 9);
  EXPECT_EQ(checked.fields[0].size, 10);
  EXPECT_EQ(checked.fields[2].size, 0);
  EXPECT_EQ(checked.fields[2].decimals, 2);
  EXPECT_EQ(checked.fields[0].offset, kRecordHeaderSize);
  EXPECT_EQ(checked.recordSize, kRecordHeaderSize + (11 + 1) + (4 + 1) + (8 + 1));
  EXPECT_EQ(checked.blobFields, 0);
}

// Stored descriptors of a sound table: Name string 10, Num integer, Amount BCD 2.
std::vector<TFieldDesc> Stored() {
  std::vector<TFieldPlan> plans = Good();
  for (size_t i = 0; i < plans.size(); ++i) plans[i].desc.number = static_cast<uint16_t>(i + 1);
  return CheckFieldPlans(plans, 0, "t").fields;
}

TEST(FieldCheck, LenientReportsEveryFaultAndMendsIt) {
  using F = TFieldFault;
  struct Case {
    const char* what;
    std::function<void(std::vector<TFieldDesc>&)> damage;
    std::vector<std::pair<F, std::string>> reported;  // the fault and the field's name then
    std::function<void(const std::vector<TFieldDesc>&)> mended;
  };
  const Case cases[] = {
      {"sound", [](auto&) {}, {}, [](const auto&) {}},
      {"number 0",
       [](auto& f) { f[1].number = 0; },
       {{F::Number, "Num"}},
       [](const auto& f) { EXPECT_EQ(f[1].number, 4); }},
      {"number twice",
       [](auto& f) { f[2].number = 1; },
       {{F::Number, "Amount"}},
       [](const auto& f) { EXPECT_EQ(f[2].number, 3); }},  // after the highest stored, 2
      {"blank name",
       [](auto& f) { f[1].name = ""; },
       {{F::BlankName, ""}},
       [](const auto& f) { EXPECT_EQ(f[1].name, "Repaired_Fld2"); }},
      {"name starting with a digit",
       [](auto& f) { f[1].name = "9x"; },
       {{F::FirstCharacter, "9x"}},
       [](const auto& f) { EXPECT_EQ(f[1].name, "Repaired_Fld2"); }},
      {"name twice",
       [](auto& f) { f[2].name = "num"; },
       {{F::DuplicateName, "num"}},
       [](const auto& f) { EXPECT_EQ(f[2].name, "Repaired_Fld3"); }},
      {"string of size 0: the stored width tells",
       [](auto& f) { f[0].size = 0; },
       {{F::Size, "Name"}},
       [](const auto& f) { EXPECT_EQ(f[0].size, 10); }},
      {"integer with a size",
       [](auto& f) { f[1].size = 3; },
       {{F::Size, "Num"}},
       [](const auto& f) { EXPECT_EQ(f[1].size, 0); }},
      {"BCD with 9 decimals",
       [](auto& f) { f[2].decimals = 9; },
       {{F::Decimals, "Amount"}},
       [](const auto& f) { EXPECT_EQ(f[2].decimals, 4); }},
      {"default, minimum and maximum that are no integers",
       [](auto& f) {
         f[1].defaultValue = "a";
         f[1].minimum = "b";
         f[1].maximum = "c";
       },
       {{F::Default, "Num"}, {F::Minimum, "Num"}, {F::Maximum, "Num"}},
       [](const auto& f) {
         EXPECT_EQ(f[1].defaultValue, "");
         EXPECT_EQ(f[1].minimum, "");
         EXPECT_EQ(f[1].maximum, "");
       }},
      {"character case 7, mended quietly",
       [](auto& f) { f[0].charCase = static_cast<TCharCase>(7); },
       {},
       [](const auto& f) { EXPECT_EQ(f[0].charCase, TCharCase::Unchanged); }},
      {"record offset",
       [](auto& f) { f[1].offset = 500; },
       {{F::Offset, "Num"}},
       [](const auto& f) { EXPECT_EQ(f[1].offset, kRecordHeaderSize + 12); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TFieldDesc> fields = Stored();
    c.damage(fields);
    std::vector<std::pair<F, std::string>> reported;
    TCheckedFields checked = MendFieldDescs(
        fields, [&](F fault, const TFieldDesc& f) { reported.emplace_back(fault, f.name); });
    EXPECT_TRUE(checked.laidOut);
    EXPECT_EQ(reported, c.reported);
    c.mended(checked.fields);
    // A mended table passes the strict rules of opening.
    for (const TFieldDesc& f : checked.fields) {
      EXPECT_TRUE(NameValid(f.name)) << f.name;
      EXPECT_TRUE(FieldDefinitionValid(f)) << f.name;
    }
  }
}

TEST(FieldCheck, LenientStopsAtUnknownTypesWithoutMendingAnything) {
  std::vector<TFieldDesc> fields = Stored();
  fields[0].type = static_cast<TStoreFieldType>(0);
  fields[2].type = static_cast<TStoreFieldType>(16);
  fields[1].name = "";  // not looked at: the records cannot be laid out
  std::vector<std::pair<TFieldFault, std::string>> reported;
  TCheckedFields checked = MendFieldDescs(fields, [&](TFieldFault fault, const TFieldDesc& f) {
    reported.emplace_back(fault, f.name);
  });
  EXPECT_FALSE(checked.laidOut);
  const std::vector<std::pair<TFieldFault, std::string>> expected = {
      {TFieldFault::UnknownType, "Name"}, {TFieldFault::UnknownType, "Amount"}};
  EXPECT_EQ(reported, expected);
  EXPECT_EQ(checked.fields[1].name, "");
}

}  // namespace
}  // namespace quellor::test
