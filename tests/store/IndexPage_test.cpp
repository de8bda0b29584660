#include "store/format/IndexPage.h"

#include <gtest/gtest.h>

#include <cstring>

#include "store/api/StoreError.h"
#include "store/format/IndexBytes.h"

using namespace quellor;
using Bytes = std::vector<uint8_t>;

namespace {

TIndexPage Leaf(const std::vector<Bytes>& keys, int32_t firstRecNo = 7) {
  TIndexPage p;
  p.offset = 4096;
  p.kind = IndexPageKind::RootLeaf;
  for (size_t i = 0; i < keys.size(); ++i)
    p.InsertEntry(static_cast<int>(i), keys[i].data(), static_cast<int>(keys[i].size()),
                  firstRecNo + static_cast<int32_t>(i));
  return p;
}

// The entry bytes of an encoded page (after the 13-byte header, as many as it says it uses).
Bytes Entries(const uint8_t* raw) {
  int used = indexbytes::GetU16(raw + 11);
  return Bytes(raw + 13, raw + 13 + used);
}

}  // namespace

TEST(IndexPage, CompressedEntriesAreEncodedExactly) {
  const Bytes u1{1, 'a', 'b', 0}, u2{1, 'a', 'c', 0};
  const Bytes n1{1, 'a', 0, 0, 0x80, 0, 0, 1}, n2{1, 'a', 0, 0, 0x80, 0, 0, 2};
  struct Case {
    const char* what;
    TIndexCompression compression;
    bool unique;
    std::vector<Bytes> keys;
    Bytes entries;
  };
  const Case cases[] = {
      {"DUPBYTE",
       TIndexCompression::DupByte,
       true,
       {u1, u2},
       {0, 0, 1, 'a', 'b', 0, 7, 0, 0, 0, /**/ 2, 0, 'c', 0, 8, 0, 0, 0}},
      {"TRAILBYTE",
       TIndexCompression::TrailByte,
       true,
       {u1, u2},
       {1, 0, 1, 'a', 'b', 7, 0, 0, 0, /**/ 1, 0, 1, 'a', 'c', 8, 0, 0, 0}},
      {"TRAILBYTE keeps the suffix",
       TIndexCompression::TrailByte,
       false,
       {n1},
       {2, 0, 1, 'a', 0x80, 0, 0, 1, 7, 0, 0, 0}},
      {"FULL",
       TIndexCompression::Full,
       true,
       {u1, u2},
       {0, 1, 1, 'a', 'b', 7, 0, 0, 0, /**/ 2, 1, 'c', 8, 0, 0, 0}},
      {"FULL before the suffix",
       TIndexCompression::Full,
       false,
       {n1},
       {0, 2, 1, 'a', 0x80, 0, 0, 1, 7, 0, 0, 0}},
      {"FULL with fewer than 5 bytes after d",
       TIndexCompression::Full,
       false,
       {n1, n2},
       {0, 2, 1, 'a', 0x80, 0, 0, 1, 7, 0, 0, 0, /**/ 7, 0, 2, 8, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TIndexPageFormat f{static_cast<int>(c.keys[0].size()), c.unique, c.compression};
    TIndexPage page = Leaf(c.keys);
    EXPECT_EQ(EncodedLeafSize(page, f), static_cast<int>(c.entries.size()));
    Bytes raw(4096);
    EncodeIndexPage(page, f, "t", raw.data());
    EXPECT_EQ(raw[0], 3);
    EXPECT_EQ(indexbytes::GetU16(&raw[1]), c.keys.size());
    EXPECT_EQ(Entries(raw.data()), c.entries);
    TIndexPage back;
    DecodeIndexPage(raw.data(), f, 4096, 8192, "t", back);
    EXPECT_EQ(back.keys, page.keys);
    EXPECT_EQ(back.refs, page.refs);
  }
}

TEST(IndexPage, UpperAndPlainLeafEntries) {
  TIndexPageFormat f{4, true, TIndexCompression::Full};  // upper pages are never compressed
  TIndexPage p;
  p.kind = IndexPageKind::Root;
  Bytes k{1, 2, 3, 4};
  p.InsertEntry(0, k.data(), 4, 8192, 5);
  Bytes raw(4096);
  EncodeIndexPage(p, f, "t", raw.data());
  EXPECT_EQ(Bytes(raw.begin() + 13, raw.begin() + 25),
            (Bytes{1, 2, 3, 4, 0, 0x20, 0, 0, 5, 0, 0, 0}));
  EXPECT_EQ(indexbytes::GetU16(&raw[11]), 0);
  EXPECT_EQ(f.UpperCapacity(), 4083 / 14);
  EXPECT_EQ(f.LeafCapacity(), 4083 / 10);
}

TEST(IndexPage, DamagedPagesAreRejected) {
  TIndexPageFormat full{4, true, TIndexCompression::Full};
  TIndexPageFormat none{4, true, TIndexCompression::None};
  auto encoded = [](const TIndexPageFormat& f, TIndexPage p) {
    Bytes raw(4096);
    EncodeIndexPage(p, f, "t", raw.data());
    return raw;
  };
  Bytes leaf = encoded(full, Leaf({{1, 'a', 'b', 0}, {1, 'a', 'c', 0}}));
  TIndexPage upper;
  upper.kind = IndexPageKind::Root;
  Bytes k{1, 2, 3, 4};
  upper.InsertEntry(0, k.data(), 4, 8192, 5);
  Bytes root = encoded(none, upper);
  struct Case {
    const char* what;
    const TIndexPageFormat* format;
    Bytes raw;
    std::function<void(Bytes&)> damage;
  };
  const Case cases[] = {
      {"kind 9", &full, leaf, [](Bytes& r) { r[0] = 9; }},
      {"first entry shares bytes", &full, leaf, [](Bytes& r) { r[13] = 1; }},
      {"trailing zeros beyond the key", &full, leaf, [](Bytes& r) { r[14] = 9; }},
      {"used bytes beyond the page", &full, leaf,
       [](Bytes& r) { indexbytes::PutU16(&r[11], 5000); }},
      {"used bytes short of the entries", &full, leaf,
       [](Bytes& r) { indexbytes::PutU16(&r[11], 10); }},
      {"used bytes beyond the entries", &full, leaf,
       [](Bytes& r) { indexbytes::PutU16(&r[11], 30); }},
      {"more entries than encoded", &full, leaf, [](Bytes& r) { indexbytes::PutU16(&r[1], 3); }},
      {"next link not a page", &full, leaf, [](Bytes& r) { indexbytes::PutI32(&r[7], 5000); }},
      {"link to itself", &full, leaf, [](Bytes& r) { indexbytes::PutI32(&r[3], 4096); }},
      {"link beyond the end", &full, leaf, [](Bytes& r) { indexbytes::PutI32(&r[7], 8192); }},
      {"count beyond capacity", &none, root, [](Bytes& r) { indexbytes::PutU16(&r[1], 2000); }},
      {"child beyond the end", &none, root, [](Bytes& r) { indexbytes::PutI32(&r[17], 12288); }},
      {"child is the page", &none, root, [](Bytes& r) { indexbytes::PutI32(&r[17], 4096); }},
      {"child count 0", &none, root, [](Bytes& r) { indexbytes::PutI32(&r[21], 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes raw = c.raw;
    c.damage(raw);
    TIndexPage page;
    try {
      DecodeIndexPage(raw.data(), *c.format, 4096, 12288 - (c.format == &none ? 0 : 4096), "t",
                      page);
      ADD_FAILURE() << "accepted";
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), 8965);
      EXPECT_STREQ(e.what(), "Store Engine Error # 8965 Index page buffers corrupt in table 't'");
    }
  }
}
