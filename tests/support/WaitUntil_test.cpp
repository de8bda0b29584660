// The test helper that waits on a condition: it returns as soon as the condition holds, serves
// between looks, and gives up at its deadline.
#include "support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quellor::test {
namespace {

using namespace std::chrono_literals;

TEST(WaitUntil, ReturnsOnceTheConditionHoldsAndServesMeanwhile) {
  int looks = 0, served = 0;
  EXPECT_TRUE(WaitUntilServing([&] { return ++looks == 4; }, [&] { ++served; }));
  EXPECT_EQ(looks, 4);
  EXPECT_EQ(served, 3);

  looks = 0;
  EXPECT_TRUE(WaitUntil([&] { return ++looks > 0; }));
  EXPECT_EQ(looks, 1);  // a condition that holds at once is looked at once
}

TEST(WaitUntil, SeesWhatAnotherThreadDoes) {
  std::atomic<bool> done{false};
  std::thread other([&] { done = true; });
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
  other.join();
}

TEST(WaitUntil, GivesUpAtTheDeadline) {
  int served = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitUntilServing([] { return false; }, [&] { ++served; }, 50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);  // it waited the whole deadline
  EXPECT_GT(served, 0);
}

}  // namespace
}  // namespace quellor::test
