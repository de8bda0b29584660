#include <gtest/gtest.h>

#include <cstring>

#include "IndexTestSupport.h"
#include "store/api/StoreError.h"
#include "store/btree/KeyCompare.h"
#include "store/format/KeyLayout.h"

using namespace quellor;
using namespace quellor::test;

namespace {

using Bytes = std::vector<uint8_t>;

// A one-field table and an index on that field.
struct TOneField {
  TOneField(TStoreFieldType type, uint8_t size = 0, uint16_t languageId = 0, bool unique = true,
            bool descending = false, bool caseInsensitive = false, bool fieldDescending = false) {
    fields = LayOutFields({Field("F", type, size)});
    TIndexDesc d;
    d.name = "ix";
    d.fieldNumbers = {1};
    d.fieldDescending = {fieldDescending};
    d.unique = unique;
    d.descending = descending;
    d.caseInsensitive = caseInsensitive;
    layout = TKeyLayout::Make(d, false, fields, languageId, 0, "t");
  }
  Bytes Key(const void* value, size_t size, int32_t logicalId = 1) const {
    Bytes r(static_cast<size_t>(RecordSizeOf(fields)), 0);
    if (value) {
      r[fields[0].offset] = 1;
      std::memcpy(&r[fields[0].offset + 1], value, size);
    }
    return layout.BuildKey(r.data(), static_cast<int>(r.size()), logicalId, "t");
  }
  Bytes Null() const { return Key(nullptr, 0); }
  Bytes Text(const std::string& s) const { return Key(s.data(), s.size()); }
  int Compare(const Bytes& a, const Bytes& b) const {
    return TKeyComparer(layout).Compare(a.data(), b.data(), layout.KeySize());
  }
  std::vector<TFieldDesc> fields;
  TKeyLayout layout;
};

template <typename T>
Bytes KeyOf(const TOneField& f, T v) {
  return f.Key(&v, sizeof v);
}

}  // namespace

TEST(KeyForm, ValuesInKeyForm) {
  TOneField i32(TStoreFieldType::Integer), i16(TStoreFieldType::SmallInt),
      word(TStoreFieldType::Word), flt(TStoreFieldType::Float), u32(TStoreFieldType::UInt32),
      bcd(TStoreFieldType::BCD), str(TStoreFieldType::String, 4);
  EXPECT_EQ(KeyOf(i32, int32_t{1}), (Bytes{1, 0x80, 0, 0, 1}));
  EXPECT_EQ(KeyOf(i32, int32_t{-1}), (Bytes{1, 0x7F, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(KeyOf(i16, int16_t{0x1234}), (Bytes{1, 0x92, 0x34}));
  EXPECT_EQ(KeyOf(word, uint16_t{0x1234}), (Bytes{1, 0x12, 0x34}));
  EXPECT_EQ(KeyOf(flt, 1.0), (Bytes{1, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(KeyOf(flt, -1.0), (Bytes{1, 0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(KeyOf(u32, uint32_t{256}), (Bytes{1, 0, 1, 0, 0}));
  EXPECT_EQ(KeyOf(bcd, int64_t{-10000}),
            (Bytes{1, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xD8, 0xF0}));
  EXPECT_EQ(str.Text("ab"), (Bytes{1, 'a', 'b', 0, 0, 0}));
  EXPECT_EQ(str.Null(), (Bytes{0, 0, 0, 0, 0, 0}));
}

TEST(KeyForm, NonUniqueSuffixAndSysDeleted) {
  TOneField f(TStoreFieldType::SmallInt, 0, 0, false);
  EXPECT_EQ(f.layout.KeySize(), 7);
  int16_t v = 5;
  EXPECT_EQ(f.Key(&v, 2, 3), (Bytes{1, 0x80, 5, 0x80, 0, 0, 3}));
  EXPECT_EQ(TKeyLayout::SysDeletedKey(true, 2), (Bytes{1, 0x80, 0, 0, 2}));
  EXPECT_EQ(TKeyLayout::SysDeletedKey(false, -1), (Bytes{0, 0x7F, 0xFF, 0xFF, 0xFF}));
}

TEST(KeyForm, DescendingFieldInvertsBitsButTheStringEnd) {
  TOneField str(TStoreFieldType::String, 3, 0, true, false, false, true);
  EXPECT_EQ(str.Text("a"), (Bytes{0xFE, static_cast<uint8_t>(~'a'), 0xFF, 0xFF, 0}));
  EXPECT_LT(str.Compare(str.Text("b"), str.Text("a")), 0);
  // A descending index does not invert: it reverses the comparison instead.
  TOneField whole(TStoreFieldType::String, 3, 0, true, true, false, true);
  EXPECT_EQ(whole.Text("a"), (Bytes{1, 'a', 0, 0, 0}));
  EXPECT_LT(whole.Compare(whole.Text("b"), whole.Text("a")), 0);
}

TEST(KeyOrder, EdgeCasesInByteOrder) {
  struct Case {
    const char* what;
    TOneField field;
    std::vector<Bytes> ascending;  // keys in the order the index must keep
  };
  TOneField i32(TStoreFieldType::Integer), flt(TStoreFieldType::Float),
      u32(TStoreFieldType::UInt32), desc(TStoreFieldType::Integer, 0, 0, true, true),
      i16(TStoreFieldType::SmallInt), ts(TStoreFieldType::TimeStamp);
  const Case cases[] = {
      {"NULL first, then -1 < 0 < 1",
       i32,
       {i32.Null(), KeyOf(i32, int32_t{-1}), KeyOf(i32, int32_t{0}), KeyOf(i32, int32_t{1})}},
      {"smallint",
       i16,
       {KeyOf(i16, int16_t{-32768}), KeyOf(i16, int16_t{-1}), KeyOf(i16, int16_t{2})}},
      {"-0.5 < 0.0 < 0.5",
       flt,
       {flt.Null(), KeyOf(flt, -1e300), KeyOf(flt, -0.5), KeyOf(flt, 0.0), KeyOf(flt, 0.5),
        KeyOf(flt, 1e300)}},
      {"-0.0 equals 0.0 in place", flt, {KeyOf(flt, -0.25), KeyOf(flt, -0.0), KeyOf(flt, 0.25)}},
      {"date-time", ts, {KeyOf(ts, -86400000.0), KeyOf(ts, 86400000.0)}},
      {"uint32 by little-endian bytes: 256 before 1",
       u32,
       {KeyOf(u32, uint32_t{0}), KeyOf(u32, uint32_t{256}), KeyOf(u32, uint32_t{1})}},
      {"descending index: NULL last",
       desc,
       {KeyOf(desc, int32_t{1}), KeyOf(desc, int32_t{0}), KeyOf(desc, int32_t{-1}), desc.Null()}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (size_t i = 1; i < c.ascending.size(); ++i)
      EXPECT_LT(c.field.Compare(c.ascending[i - 1], c.ascending[i]), 0) << "at " << i;
  }
}

TEST(KeyOrder, CaseInsensitiveKeysAreUpperCased) {
  for (uint16_t languageId : {uint16_t{0}, uint16_t{1033}}) {
    TOneField ci(TStoreFieldType::String, 10, languageId, true, false, true);
    TOneField cs(TStoreFieldType::String, 10, languageId);
    EXPECT_EQ(ci.Compare(ci.Text("abc"), ci.Text("ABC")), 0);
    EXPECT_NE(cs.Compare(cs.Text("abc"), cs.Text("ABC")), 0);
    EXPECT_EQ(ci.Text("abc"), ci.Text("ABC"));
  }
  // The table's locale: a Turkish dotted i upper-cases to İ, in US English to I.
  TOneField tr(TStoreFieldType::String, 10, 1055, true, false, true);
  TOneField us(TStoreFieldType::String, 10, 1033, true, false, true);
  EXPECT_EQ(tr.Text("i"), tr.Text("\xC4\xB0"));
  EXPECT_EQ(us.Text("i"), us.Text("I"));
  // Upper-casing that lengthens a value is cut to the field without splitting a character.
  // (U+0390 upper-cases to three characters, six bytes.)
  TOneField small(TStoreFieldType::String, 3, 1033, true, false, true);
  EXPECT_EQ(small.Text("\xCE\x90"), (Bytes{1, 0xCE, 0x99, 0, 0}));
  EXPECT_EQ(small.Text("\xC3\x9F"), (Bytes{1, 'S', 'S', 0, 0}));
}

TEST(KeyOrder, LanguageOrderUsesTheTablesLocale) {
  TOneField en(TStoreFieldType::String, 20, 1033), bytes(TStoreFieldType::String, 20, 0);
  // Byte order puts capitals first; the locale interleaves them.
  EXPECT_LT(bytes.Compare(bytes.Text("Banana"), bytes.Text("apple")), 0);
  EXPECT_LT(en.Compare(en.Text("apple"), en.Text("Banana")), 0);
  EXPECT_LT(en.Compare(en.Text("Banana"), en.Text("cherry")), 0);
  // Non-spacing marks do not count; case does; hyphens weigh like other symbols.
  EXPECT_EQ(en.Compare(en.Text("r\xC3\xA9sum\xC3\xA9"), en.Text("resume")), 0);
  EXPECT_NE(en.Compare(en.Text("Resume"), en.Text("resume")), 0);
  EXPECT_NE(en.Compare(en.Text("co-op"), en.Text("coop")), 0);
  // Swedish sorts Ä after Z, German next to A.
  TOneField sv(TStoreFieldType::String, 20, 1053), de(TStoreFieldType::String, 20, 1031);
  EXPECT_GT(sv.Compare(sv.Text("\xC3\x84pple"), sv.Text("Zebra")), 0);
  EXPECT_LT(de.Compare(de.Text("\xC3\x84pfel"), de.Text("Zebra")), 0);
  // NULL still sorts first; a descending field reverses only its own result.
  EXPECT_LT(en.Compare(en.Null(), en.Text("")), 0);
  TOneField enDesc(TStoreFieldType::String, 20, 1033, true, false, false, true);
  EXPECT_GT(enDesc.Compare(enDesc.Text("apple"), enDesc.Text("Banana")), 0);
}

TEST(KeyOrder, SearchKeyPrefixCountsOnlyItsBytes) {
  for (uint16_t languageId : {uint16_t{0}, uint16_t{1033}}) {
    TOneField f(TStoreFieldType::String, 10, languageId);
    TKeyComparer cmp(f.layout);
    Bytes key = f.Text("abcdef"), prefix = f.Text("abc");
    EXPECT_EQ(cmp.Compare(key.data(), prefix.data(), 4), 0);
    EXPECT_GT(cmp.Compare(key.data(), prefix.data(), f.layout.KeySize()), 0);
  }
}

TEST(KeyLayout, DefinitionErrors) {
  auto fields =
      LayOutFields({Field("A", TStoreFieldType::String, 250),
                    Field("B", TStoreFieldType::String, 250), Field("M", TStoreFieldType::Blob),
                    Field("I", TStoreFieldType::Integer), Field("C", TStoreFieldType::String, 30)});
  struct Case {
    std::vector<uint16_t> numbers;
    uint16_t code;
  };
  const Case cases[] = {{{}, 9487},   {std::vector<uint16_t>(17, 4), 9487},
                        {{6}, 10023}, {{0}, 10023},
                        {{3}, 12292}, {{1, 2, 5}, 10026}};
  for (const Case& c : cases) {
    TIndexDesc d;
    d.name = "ix";
    d.fieldNumbers = c.numbers;
    try {
      TKeyLayout::Make(d, false, fields, 0, 0, "t");
      ADD_FAILURE() << c.code;
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
    }
    try {
      TKeyLayout::Make(d, false, fields, 0, 0, "t", 8961);
      ADD_FAILURE() << c.code;
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), 8961);
    }
  }
  TIndexDesc two;
  two.fieldNumbers = {1, 2};  // 251 + 1 + 251 + 1 = 504 bytes: allowed
  EXPECT_EQ(TKeyLayout::Make(two, true, fields, 0, 0, "t").KeySize(), 504);
  two.unique = false;
  EXPECT_EQ(TKeyLayout::Make(two, false, fields, 0, 0, "t").KeySize(), 508);
}
