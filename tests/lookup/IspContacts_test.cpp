// "Get Emails" and "&Save ISP" on real site and ISP tables: how the ISP table's domains match a
// host, replacing addresses, the empty Domain box, errors leaving both tables as they were.
#include "lookup/IspContacts.h"

#include <gtest/gtest.h>

#include "lookup/LookupTestSupport.h"
#include "store/api/StoreTb.h"

using namespace quellor;
using namespace quellor::test;

namespace {

using Isps = std::vector<std::pair<std::string, std::string>>;

TEST(IspContactsTest, GetEmailsMatchesDomainsAsCaseSensitiveSubstringsTheLastInIndexOrderWins) {
  struct Case {
    const char* name;
    Isps isps;
    std::string host;
    std::string emails;
  } cases[] = {
      {"a domain inside a longer label matches (no suffix test)",
       {{"host.test", "abuse@host.test"}},
       "www.myhost.tester",
       "abuse@host.test"},
      {"a domain in the middle of the host", {{"mid", "abuse@mid"}}, "a.mid.example", "abuse@mid"},
      {"two matches: the later in index order",
       {{"site.test", "second@x"}, {"mysite.test", "first@x"}},
       "www.mysite.test",
       "second@x"},
      {"two matches, written the other way round",
       {{"mysite.test", "first@x"}, {"site.test", "second@x"}},
       "www.mysite.test",
       "second@x"},
      {"case-sensitive: capitals do not match lower case",
       {{"SITE.TEST", "caps@x"}},
       "www.site.test",
       ""},
      {"the full host with its leading label matches only hosts holding it",
       {{"www.site.test", "full@x"}},
       "ftp.site.test",
       ""},
      {"no match: empty", {{"other.test", "o@x"}}, "www.site.test", ""},
      {"an empty host matches nothing", {{"site.test", "s@x"}}, "", ""},
      {"empty ISP table", {}, "www.site.test", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLookupFolder f;
    AddIsps(f.dir, c.isps);
    TDM& dm = f.Open();
    EXPECT_EQ(dm.GetEmails(c.host), c.emails);
    EXPECT_TRUE(dm.tblIsp.Eof()) << "the ISP table stands past its last record";
  }
}

TEST(IspContactsTest, GetEmailsNeverMatchesAnEmptyDomain) {
  TLookupFolder f;
  TDM& dm = f.Open();
  SaveIsp(dm, "", "nobody@x");
  EXPECT_EQ(IspSnapshot(f.dir), (Isps{{"", "nobody@x"}}));
  EXPECT_EQ(dm.GetEmails("www.site.test"), "");
  EXPECT_EQ(dm.GetEmails(""), "");
  // Saving under the empty Domain again replaces it.
  SaveIsp(dm, "", "other@x");
  EXPECT_EQ(IspSnapshot(f.dir), (Isps{{"", "other@x"}}));
}

TEST(IspContactsTest, GetEmailsSeesRecordsSavedMeanwhile) {
  TLookupFolder f;
  AddIsps(f.dir, {{"m.test", "m@x"}});
  TDM& dm = f.Open();
  EXPECT_EQ(dm.GetEmails("www.m.test"), "m@x");
  AddIsps(f.dir, {{"a.test", "a@x"}, {"www.m.test", "w@x"}});
  EXPECT_EQ(dm.GetEmails("www.m.test"), "w@x");
  EXPECT_EQ(dm.GetEmails("a.test"), "a@x");
}

TEST(IspContactsTest, GetEmailsOnTheSiteReplacesTheAddressesOrLeavesThemAndPostsEither) {
  TLookupFolder f;
  AddSites(f.dir, {{"http://www.site.test/", "", -1, 0, "old@x"}});
  AddIsps(f.dir, {{"site.test", "abuse@site.test"}});
  TDM& dm = f.Open();

  // No match: the addresses stay, the pending edit of the site is posted.
  dm.tblCracks.Edit();
  dm.tblCracks.FieldByName("Notes").SetAsString("typed");
  GetSiteEmails(dm, "www.other.test");
  EXPECT_EQ(dm.tblCracks.State(), TDataSetState::Browse);
  EXPECT_EQ(Snapshot(f.dir)[0].emails, "old@x");
  dm.tblCracks.Refresh();
  EXPECT_EQ(dm.tblCracks.FieldByName("Notes").AsString(), "typed");

  // A match replaces them (not merged).
  GetSiteEmails(dm, "www.site.test");
  EXPECT_EQ(Snapshot(f.dir)[0].emails, "abuse@site.test");
  EXPECT_EQ(dm.tblCracks.State(), TDataSetState::Browse);
}

TEST(IspContactsTest, SaveIspAddsANewDomainAndReplacesAStoredOneWithoutAddingARecord) {
  TLookupFolder f;
  AddIsps(f.dir, {{"a.test", "a@x"}});
  TDM& dm = f.Open();
  SaveIsp(dm, "site.test", "one@x");
  EXPECT_EQ(IspSnapshot(f.dir), (Isps{{"a.test", "a@x"}, {"site.test", "one@x"}}));
  EXPECT_EQ(dm.tblIsp.FieldByName("Domain").AsString(), "site.test") << "stands on the record";
  SaveIsp(dm, "site.test", "two@x, three@x");
  EXPECT_EQ(IspSnapshot(f.dir), (Isps{{"a.test", "a@x"}, {"site.test", "two@x, three@x"}}));
  EXPECT_EQ(dm.tblIsp.RecordCount(), 2);
  // The Domain box's text as it stands, not trimmed.
  SaveIsp(dm, " site.test", "blank@x");
  EXPECT_EQ(dm.tblIsp.RecordCount(), 3);
}

TEST(IspContactsTest, ADomainLongerThanTheFieldIsCutAndFoundAgain) {
  TLookupFolder f;
  TDM& dm = f.Open();
  const std::string domain = "a-rather-long-provider-domain.example.test";  // 42 characters
  SaveIsp(dm, domain, "one@x");
  SaveIsp(dm, domain, "two@x");
  EXPECT_EQ(IspSnapshot(f.dir), (Isps{{domain.substr(0, 25), "two@x"}}));
}

TEST(IspContactsTest, SaveThenGetMovesTheAddressesToAnotherSiteOfTheProvider) {
  TLookupFolder f;
  AddSites(f.dir, {{"http://www.one.host.test/x", "", -1, 0, "abuse@host.test"},
                   {"http://ftp.two.host.test/", "", -1, 0, ""}});
  TDM& dm = f.Open();
  // The person shortened the Domain box to the provider's domain.
  SaveIsp(dm, "host.test", dm.tblCracks.FieldByName("E-mails").AsString());
  dm.tblCracks.Next();
  GetSiteEmails(dm, "ftp.two.host.test");
  EXPECT_EQ(Snapshot(f.dir)[1].emails, "abuse@host.test");
}

TEST(IspContactsTest, AnErrorOfTheIspTableLeavesTheSiteAsItWas) {
  TLookupFolder f;
  AddSites(f.dir, {{"http://www.site.test/", "", -1, 0, "old@x"}});
  TDM& dm = f.Open();
  dm.tblIsp.Close();
  EXPECT_THROW(GetSiteEmails(dm, "www.site.test"), std::exception);
  EXPECT_EQ(dm.tblCracks.State(), TDataSetState::Browse) << "the edit it began is cancelled";
  EXPECT_EQ(Snapshot(f.dir)[0].emails, "old@x");
  EXPECT_THROW(SaveIsp(dm, "site.test", "x@x"), std::exception);
}

TEST(IspContactsTest, AnEditThePersonBeganIsNotDiscardedByAnError) {
  TLookupFolder f;
  AddSites(f.dir, {{"http://www.site.test/", "", -1, 0, "old@x"}});
  TDM& dm = f.Open();
  dm.tblCracks.Edit();
  dm.tblCracks.FieldByName("Notes").SetAsString("typing");
  dm.tblIsp.Close();
  EXPECT_THROW(GetSiteEmails(dm, "www.site.test"), std::exception);
  EXPECT_EQ(dm.tblCracks.State(), TDataSetState::Edit);
  EXPECT_EQ(dm.tblCracks.FieldByName("Notes").AsString(), "typing");
}

}  // namespace
