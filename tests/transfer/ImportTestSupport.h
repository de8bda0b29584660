// A program folder with the site and ISP tables opened by the data module, for the import
// tests: the site table shows the default view (Killed = False), as in the program.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "StoreTool.h"
#include "app/Config.h"
#include "app/Include.h"
#include "data/DataMod.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"
#include "transfer/ImportSites.h"

namespace quellor::test {

class ImportFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolder(dir.path());
    std::ostringstream out, err;
    ASSERT_EQ(RunStoreTool({"init", dir.path()}, out, err), 0) << err.str();
    config.ReadLastCompany();  // the default view: Killed = False
    dm = std::make_unique<TDM>(config);
    dm->DataModuleCreate();
  }
  void TearDown() override { dm.reset(); }

  TSiteTarget Target() { return {dm->db, dm->tblCracks}; }

  // Writes `text` to a file and imports it.
  TImportResult Import(const std::string& text, const std::string& name = "sites.csv") {
    WriteFileBytes(dir.file(name), text);
    return ImportSites(Target(), ui, dir.file(name));
  }

  // Every site of the table in Url order, as storetool dump writes them.
  std::string Dump() {
    std::ostringstream out, err;
    EXPECT_EQ(RunStoreTool({"dump", dir.path(), "cracks"}, out, err), 0) << err.str();
    return out.str();
  }

  // Adds one site with the given Url, Killed flag and Notes, outside any import.
  void AddSite(const std::string& url, bool killed, const std::string& notes = "") {
    TStoreTable& t = dm->tblCracks;
    t.Append();
    t.FieldByName("Url").SetAsString(url);
    t.FieldByName("Killed").SetAsBoolean(killed);
    t.FieldByName("Notes").SetAsString(notes);
    t.Post();
  }

  // Moves the (unfiltered) site table to the site of that Url; false when there is none.
  bool Find(const std::string& url) {
    TStoreTable& t = dm->tblCracks;
    t.SetFiltered(false);
    bool found = t.FindKey({url});
    return found;
  }

  TempDir dir;
  TConfig config;
  std::unique_ptr<TDM> dm;
  FakeUi ui;
};

}  // namespace quellor::test
