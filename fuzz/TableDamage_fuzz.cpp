// Fuzzes the reading of a damaged table: a small sound table (data, index and BLOB file, with
// every field kind, a primary and a compressed secondary index, long BLOB chains and deleted
// slots) is damaged by the input, then opened, read field by field along every index and the
// order of insertion, searched by key, and verified. Every failure must be one of the store's
// engine errors (or a dataset error of a value that does not convert); a crash, a hang (a walk
// that does not end), an assertion, another exception or a leak is a finding.
//
// Input: a list of edits of 4 bytes each: the file (byte 0 modulo 3: .DAT, .IDX, .BLB), the
// offset (bytes 1 and 2, little-endian, modulo the file's size, or, with the top bit of byte 0,
// counted from the end of the file) and the new byte (byte 3). A trailing piece shorter than an
// edit cuts the file it names to the offset it gives.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "store/api/StoreError.h"
#include "store/api/StoreTb.h"

using namespace quellor;

namespace {

constexpr const char* kExtensions[] = {".DAT", ".IDX", ".BLB"};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct TSoundTable {
  std::string folder;
  std::string files[3];
};

const TSoundTable& Sound() {
  static const TSoundTable* sound = [] {
    auto* s = new TSoundTable;
    char folder[] = "/tmp/quellor-table-fuzz-XXXXXX";
    if (!mkdtemp(folder)) std::abort();
    s->folder = std::string(folder) + "/";
    // The folder goes with the process.
    std::atexit([] {
      const std::string& f = Sound().folder;
      for (const char* ext : {".DAT", ".IDX", ".BLB", ".JNL"}) std::remove((f + "d" + ext).c_str());
      rmdir(f.c_str());
    });
    {
      TStoreSession session;
      TStoreTable t(session);
      t.SetDatabaseName(s->folder);
      t.SetTableName("d");
      auto& defs = t.FieldDefs();
      defs.Add("Name", TFieldType::String, 20);
      defs.Add("Small", TFieldType::SmallInt);
      defs.Add("Whole", TFieldType::Integer);
      defs.Add("Flag", TFieldType::Boolean);
      defs.Add("Ratio", TFieldType::Float);
      defs.Add("Amount", TFieldType::BCD, 2);
      defs.Add("Stamp", TFieldType::DateTime);
      defs.Add("Raw", TFieldType::Bytes, 4);
      defs.Add("Id", TFieldType::AutoInc);
      defs.Add("Data", TFieldType::Blob);
      defs.Add("Notes", TFieldType::Memo);
      t.IndexDefs().Add("", "Name", IndexOption::Primary);
      t.IndexDefs().Add("ByWhole", "Whole", 0, TIndexCompression::Full);
      t.StoreDefs().BlobBlockSize = 64;
      t.CreateTable();
      t.Open();
      for (int i = 0; i < 16; ++i) {
        t.Append();
        t.FieldByName("Name").SetAsString("record " + std::to_string(i));
        t.FieldByName("Whole").SetAsInteger(i % 5);
        t.FieldByName("Flag").SetAsBoolean(i % 2 == 0);
        t.FieldByName("Stamp").SetAsString("2020-01-02 03:04:05");
        if (i % 3 != 0)
          t.FieldByName("Data").SetAsString(std::string(static_cast<size_t>(i * 30), 'x'));
        if (i % 2 == 0) t.FieldByName("Notes").SetAsString("note " + std::to_string(i));
        t.Post();
      }
      t.First();
      t.Next();
      t.Delete();
      t.Next();
      t.Delete();
    }
    for (int f = 0; f < 3; ++f) s->files[f] = ReadWhole(s->folder + "d" + kExtensions[f]);
    return s;
  }();
  return *sound;
}

// Reads every field of every record along the current order; a walk that does not end is a
// finding.
void Walk(TStoreTable& t) {
  int steps = 0;
  for (t.First(); !t.Eof(); t.Next()) {
    if (++steps > 1000) {
      std::fprintf(stderr, "a walk that does not end\n");
      std::abort();
    }
    for (int i = 0; i < t.FieldCount(); ++i) {
      t.Fields(i).IsNull();
      t.Fields(i).AsString();
    }
  }
  t.RecordCount();
}

template <typename F>
void Tolerating(F&& step) {
  try {
    step();
  } catch (const EStoreEngineError& e) {
    if (!StoreErrorFormat(e.ErrorCode())) {
      std::fprintf(stderr, "an engine error without a text: %s\n", e.what());
      std::abort();
    }
  } catch (const EDatabaseError&) {
    // A damaged value that does not convert.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TSoundTable& sound = Sound();
  std::string files[3] = {sound.files[0], sound.files[1], sound.files[2]};
  size_t at = 0;
  for (; at + 4 <= size; at += 4) {
    std::string& file = files[(data[at] & 0x7F) % 3];
    if (file.empty()) continue;
    size_t offset = (data[at + 1] | data[at + 2] << 8) % file.size();
    if (data[at] & 0x80) offset = file.size() - 1 - offset;
    file[offset] = static_cast<char>(data[at + 3]);
  }
  if (size - at >= 3) {
    std::string& file = files[(data[at] & 0x7F) % 3];
    if (!file.empty()) file.resize((data[at + 1] | data[at + 2] << 8) % file.size());
  }
  for (int f = 0; f < 3; ++f) WriteWhole(sound.folder + "d" + kExtensions[f], files[f]);

  TStoreSession session;
  Tolerating([&] {
    TStoreTable t(session);
    t.SetDatabaseName(sound.folder);
    t.SetTableName("d");
    t.Open();
    for (const char* index : {"", "ByWhole"}) {
      Tolerating([&] {
        t.SetIndexName(index);
        Walk(t);
      });
    }
    Tolerating([&] {
      t.SetIndexName("");
      for (int i = 0; i < 16; i += 3) t.FindKey({"record " + std::to_string(i)});
      t.FindKey({"absent"});
    });
  });
  Tolerating([&] {
    TStoreTable t(session);
    t.SetDatabaseName(sound.folder);
    t.SetTableName("d");
    t.Verify();
  });
  return 0;
}
