// The resolver port: which names are asked at all, bounded lookups, the pool of lookup threads,
// and the system resolver through the hosts file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>

#include <chrono>

#include "lookup/HostResolver.h"
#include "lookup/LookupPool.h"
#include "support/ScriptedResolver.h"

using namespace quellor;
using namespace quellor::test;
using namespace std::chrono_literals;
using Kind = TResolveAnswer::Kind;

namespace {

TEST(ResolverTest, WhatCountsAsAHostName) {
  struct Case {
    std::string host;
    bool ok;
  } cases[] = {
      {"localhost", true},
      {"www.site.test", true},
      {"www.site.test.", true},
      {"10.0.0.1", true},
      {"under_score.test", true},
      {std::string(63, 'a') + ".test", true},
      {std::string(64, 'a') + ".test", false},
      {std::string(10000, 'a'), false},
      {"", false},
      {".", false},
      {"a..b", false},
      {".a", false},
      {"a b", false},
      {"a.test ", false},
      {std::string("a.test") + '\0' + "b.test", false},
      {"b\xC3\xBC"
       "cher.test",
       false},
      {"\xFF", false},
      {"tab\t.test", false},
      {"del\x7F.test", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsHostName(c.host), c.ok) << c.host.substr(0, 80);
  std::string longest;
  for (int i = 0; i < 3; ++i) longest += std::string(63, 'a') + ".";
  longest += std::string(61, 'a');
  ASSERT_EQ(longest.size(), 253u);
  EXPECT_TRUE(IsHostName(longest));
  EXPECT_FALSE(IsHostName(longest + "a"));
}

// No resolver is asked about a bad host: the scripted one records nothing, and the system's
// never sees "localhost" in a name cut at its NUL (it would find that one).
TEST(ResolverTest, BadHostsAreNotFoundWithoutAsking) {
  auto r = std::make_shared<TScriptedResolver>();
  r->Answer("a.test", "10.0.0.1");
  r->Answer("localhost", "127.0.0.1");
  for (const std::string& host :
       {std::string(), std::string(10000, 'x'), std::string("a.test") + '\0' + "x",
        std::string("localhost") + '\0' + "x",
        std::string("b\xC3\xBC"
                    "cher.test"),
        std::string(" a.test"), std::string("a.test\r\n")}) {
    EXPECT_EQ(LookUpHost(r, host).kind, Kind::NotFound);
    EXPECT_EQ(TSystemResolver().Resolve(host).kind, Kind::NotFound);
  }
  EXPECT_TRUE(r->Asked().empty());
}

TEST(ResolverTest, LookUpHostBoundsAHangingOrFailingResolver) {
  auto r = std::make_shared<TScriptedResolver>();
  r->Answer("hang.test", "10.0.0.1");
  r->Hang("hang.test");
  r->Throw("throw.test");
  r->Answer("fail.test", TResolveAnswer::Failed("no name server"));
  r->Answer("ok.test", "10.0.0.2");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(LookUpHost(r, "hang.test", 150ms), TResolveAnswer::Failed("timed out"));
  // It waited its time, and the time limit ended the wait (the bound only catches a hang).
  EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(LookUpHost(r, "throw.test"), TResolveAnswer::Failed("scripted failure"));
  EXPECT_EQ(LookUpHost(r, "fail.test"), TResolveAnswer::Failed("no name server"));
  EXPECT_EQ(LookUpHost(r, "ok.test"), TResolveAnswer::Found("10.0.0.2"));
  EXPECT_EQ(LookUpHost(r, "unknown.test"), TResolveAnswer::NotFound());
  r->Release();
}

TEST(ResolverTest, HangingLookupsDoNotHoldUpTheOthersBeyondTheThreadLimit) {
  auto r = std::make_shared<TScriptedResolver>();
  for (int i = 0; i < 3; ++i) r->Hang("hang" + std::to_string(i) + ".test");
  for (int i = 0; i < 20; ++i) r->Answer("ok" + std::to_string(i) + ".test", "10.0.0.1");
  TLookupPool pool(r, {4, 200ms});
  std::vector<TLookupPool::TTicket> hanging, ok;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) hanging.push_back(pool.Start("hang" + std::to_string(i) + ".test"));
  for (int i = 0; i < 20; ++i) ok.push_back(pool.Start("ok" + std::to_string(i) + ".test"));
  for (auto& t : hanging) {
    std::optional<TResolveAnswer> a;
    while (!(a = pool.Wait(t, 50ms))) {
    }
    EXPECT_EQ(*a, TResolveAnswer::Failed("timed out"));
  }
  for (auto& t : ok) {
    std::optional<TResolveAnswer> a;
    while (!(a = pool.Wait(t, 50ms))) {
    }
    EXPECT_EQ(*a, TResolveAnswer::Found("10.0.0.1"));  // not held up until timed out
  }
  // The hanging ones waited their time, and the time limit ended the wait (the bound only
  // catches a hang).
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_LE(r->MaxRunning(), 4) << "never more threads than the limit";
  EXPECT_EQ(pool.Open(), 0);
  r->Release();
}

TEST(ResolverTest, AllThreadsHangingStillDecidesEveryLookupInTime) {
  auto r = std::make_shared<TScriptedResolver>();
  r->Hang();
  TLookupPool pool(r, {2, 100ms});
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 4; ++i) {
    auto t = pool.Start("h" + std::to_string(i) + ".test");
    std::optional<TResolveAnswer> a;
    while (!(a = pool.Wait(t, 30ms))) {
    }
    EXPECT_EQ(a->kind, Kind::Failed);
  }
  // One after the other, each waited its time, and the time limit ended each wait (the bound
  // only catches a hang).
  EXPECT_GE(std::chrono::steady_clock::now() - start, 4 * 100ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_LE(r->MaxRunning(), 2);
  r->Release();
}

TEST(ResolverTest, TheFirstIPv4AddressOfAnAnswerList) {
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  sockaddr_in a{}, b{};
  a.sin_family = b.sin_family = AF_INET;
  ::inet_pton(AF_INET, "192.0.2.7", &a.sin_addr);
  ::inet_pton(AF_INET, "192.0.2.9", &b.sin_addr);
  addrinfo third{}, second{}, first{};
  third.ai_family = AF_INET;
  third.ai_addr = reinterpret_cast<sockaddr*>(&b);
  second.ai_family = AF_INET;
  second.ai_addr = reinterpret_cast<sockaddr*>(&a);
  second.ai_next = &third;
  first.ai_family = AF_INET6;
  first.ai_addr = reinterpret_cast<sockaddr*>(&v6);
  first.ai_next = &second;
  EXPECT_EQ(FirstIPv4(&first), "192.0.2.7");
  EXPECT_EQ(FirstIPv4(&third), "192.0.2.9");
  EXPECT_EQ(FirstIPv4(nullptr), "");
}

// The real system resolver, through the hosts file.
TEST(ResolverTest, SystemResolverFindsLocalhost) {
  EXPECT_EQ(ResolveHost("localhost"), "127.0.0.1");
  EXPECT_EQ(LookUpHost(SystemResolver(), "localhost"), TResolveAnswer::Found("127.0.0.1"));
  EXPECT_EQ(ResolveHost(""), kNotFound);
  EXPECT_EQ(ResolveHost(std::string(10000, 'a')), kNotFound);
}

}  // namespace
