// A program folder with the site and ISP tables for the lookup tests, and the data module on it.
// Sites are written before the data module opens the tables; Snapshot reads every site back
// through a cursor of its own, without the view filter.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "StoreTool.h"
#include "app/Config.h"
#include "app/Include.h"
#include "data/DataMod.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

namespace quellor::test {

// A boolean field as a test writes and reads it: -1 empty (NULL), 0 false, 1 true.
inline int BoolState(TStoreField& f) {
  return f.IsNull() ? -1 : (f.AsBoolean() ? 1 : 0);
}
inline void SetBoolState(TStoreField& f, int state) {
  if (state < 0) {
    f.Clear();
  } else {
    f.SetAsBoolean(state == 1);
  }
}

struct TSite {
  TSite(std::string url_, std::string ip_ = "", int ipChanged_ = -1, int killed_ = 0,
        std::string emails_ = "")
      : url(std::move(url_)),
        ip(std::move(ip_)),
        ipChanged(ipChanged_),
        killed(killed_),
        emails(std::move(emails_)) {}
  std::string url;
  std::string ip;
  int ipChanged = -1;
  int killed = 0;
  std::string emails;
  bool operator==(const TSite&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const TSite& s) {
  return out << "{" << s.url << ", ip '" << s.ip << "', changed " << s.ipChanged << ", killed "
             << s.killed << ", emails '" << s.emails << "'}";
}

inline void InitFolder(const TempDir& dir) {
  std::ostringstream out, err;
  ASSERT_EQ(RunStoreTool({"init", dir.path()}, out, err), 0) << err.str();
}

inline void AddSites(const TempDir& dir, const std::vector<TSite>& sites) {
  TStoreTable t;
  t.SetDatabaseName(dir.path());
  t.SetTableName("cracks.DAT");
  t.Open();
  for (const TSite& s : sites) {
    t.Append();
    t.FieldByName("Url").SetAsString(s.url);
    t.FieldByName("IPAddr").SetAsString(s.ip);
    SetBoolState(t.FieldByName("IPChanged"), s.ipChanged);
    SetBoolState(t.FieldByName("Killed"), s.killed);
    t.FieldByName("E-mails").SetAsString(s.emails);
    t.Post();
  }
}

inline void AddIsps(const TempDir& dir,
                    const std::vector<std::pair<std::string, std::string>>& isps) {
  TStoreTable t;
  t.SetDatabaseName(dir.path());
  t.SetTableName("isps.DAT");
  t.Open();
  for (const auto& [domain, emails] : isps) {
    t.Append();
    t.FieldByName("Domain").SetAsString(domain);
    t.FieldByName("Emails").SetAsString(emails);
    t.Post();
  }
}

// Every site in Url order.
inline std::vector<TSite> Snapshot(const TempDir& dir) {
  TStoreTable t;
  t.SetDatabaseName(dir.path());
  t.SetTableName("cracks.DAT");
  t.Open();
  std::vector<TSite> sites;
  for (t.First(); !t.Eof(); t.Next()) {
    sites.push_back({t.FieldByName("Url").AsString(), t.FieldByName("IPAddr").AsString(),
                     BoolState(t.FieldByName("IPChanged")), BoolState(t.FieldByName("Killed")),
                     t.FieldByName("E-mails").AsString()});
  }
  return sites;
}

// Every ISP record in index order: Domain, Emails.
inline std::vector<std::pair<std::string, std::string>> IspSnapshot(const TempDir& dir) {
  TStoreTable t;
  t.SetDatabaseName(dir.path());
  t.SetTableName("isps.DAT");
  t.Open();
  std::vector<std::pair<std::string, std::string>> isps;
  for (t.First(); !t.Eof(); t.Next())
    isps.emplace_back(t.FieldByName("Domain").AsString(), t.FieldByName("Emails").AsString());
  return isps;
}

// The data module on a program folder of its own.
class TLookupFolder {
 public:
  TLookupFolder() {
    SetProgramFolder(dir.path());
    InitFolder(dir);
  }
  // Opens the tables through the data module (the default view: sites not killed).
  TDM& Open() {
    SetProgramFolder(dir.path());
    config.ReadLastCompany();
    dm = std::make_unique<TDM>(config);
    dm->DataModuleCreate();
    return *dm;
  }
  // Makes the site with this Url current (it must pass the view).
  void GoTo(const std::string& url) {
    TStoreTable& t = dm->tblCracks;
    for (t.First(); !t.Eof(); t.Next())
      if (t.FieldByName("Url").AsString() == url) return;
    ADD_FAILURE() << "no site " << url << " in the view";
  }

  TempDir dir;
  TConfig config;
  std::unique_ptr<TDM> dm;
};

}  // namespace quellor::test
