#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "pipeline/schedule.h"

using brivane::pipeline::AdaptiveLimit;
using brivane::pipeline::FetchQueue;
using namespace std::chrono_literals;

namespace {

TEST(AdaptiveLimit, HalvesOnPushBackAndGrowsBackOneByOne) {
  AdaptiveLimit limit(8);
  EXPECT_EQ(limit.succeeded(), std::nullopt);  // already at the most
  EXPECT_EQ(limit.throttled(), 4);
  EXPECT_EQ(limit.throttled(), 2);
  EXPECT_EQ(limit.throttled(), 1);
  EXPECT_EQ(limit.throttled(), std::nullopt);  // never below one
  for (int expected = 2; expected <= 8; ++expected) EXPECT_EQ(limit.succeeded(), expected);
  EXPECT_EQ(limit.succeeded(), std::nullopt);
}

TEST(AdaptiveLimit, AcquireWaitsForRoomAndCloseReleasesWaiters) {
  AdaptiveLimit limit(2);
  ASSERT_TRUE(limit.acquire());
  ASSERT_TRUE(limit.acquire());
  std::atomic<int> got{-1};
  std::thread waiter([&] { got = limit.acquire() ? 1 : 0; });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(got, -1);  // both places taken
  limit.release();
  waiter.join();
  EXPECT_EQ(got, 1);
  EXPECT_EQ(limit.in_flight(), 2);

  limit.throttled();  // limit 1 with 2 in flight: a third waits
  std::thread closed_out([&] { got = limit.acquire() ? 1 : 0; });
  limit.release();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(got, 1);  // still one in flight, at the limit
  got = -1;
  limit.close();
  closed_out.join();
  EXPECT_EQ(got, 0);
}

TEST(AdaptiveLimit, ProbingDoublesPerRoundUntilThePushBack) {
  AdaptiveLimit limit(16, 512);
  std::vector<int> changes;
  for (int reply = 0; reply < 16 + 32 + 64; ++reply) {
    if (auto raised = limit.succeeded()) changes.push_back(*raised);
  }
  EXPECT_EQ(changes, (std::vector<int>{32, 64, 128}));
  long burst = limit.round();
  EXPECT_EQ(limit.throttled(burst), 64);  // the account's limit: from here on one by one
  EXPECT_EQ(limit.throttled(burst), std::nullopt);  // the rest of the same burst
  EXPECT_FALSE(limit.probing());
  for (int reply = 1; reply < 64; ++reply) EXPECT_EQ(limit.succeeded(), std::nullopt);
  EXPECT_EQ(limit.succeeded(), 65);  // one more per round
  AdaptiveLimit capped(300, 512);
  for (int reply = 0; reply < 300; ++reply) capped.succeeded();
  EXPECT_EQ(capped.limit(), 512);
}

TEST(FetchQueue, TheFirstJobGoesOutAlone) {
  FetchQueue queue(3, true);
  EXPECT_EQ(queue.take(), 0u);
  std::atomic<long> second{-1};
  std::thread worker([&] { second = static_cast<long>(queue.take().value_or(99)); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(second, -1);  // waits for job 0
  queue.finish(0);
  worker.join();
  EXPECT_EQ(second, 1);
  EXPECT_EQ(queue.left(), 1u);
}

TEST(AdaptiveLimit, ARefusalReleasesWaitersAndKeepsItsFirstReason) {
  AdaptiveLimit limit(1);
  ASSERT_TRUE(limit.acquire());
  std::atomic<int> got{-1};
  std::thread waiter([&] { got = limit.acquire() ? 1 : 0; });
  limit.refuse("余额不足");
  limit.refuse("later");
  waiter.join();
  EXPECT_EQ(got, 0);
  limit.release();
  EXPECT_FALSE(limit.acquire());  // room again, but the account is refused
  EXPECT_EQ(limit.refusal(), "余额不足");
}

TEST(FetchQueue, HandsOutJobsInOrderUntilClosed) {
  FetchQueue queue(3);
  EXPECT_EQ(queue.take(), 0u);
  EXPECT_EQ(queue.take(), 1u);
  queue.close();
  EXPECT_EQ(queue.take(), std::nullopt);
  EXPECT_TRUE(queue.closed());
}

TEST(FetchQueue, WaitSeesTheJobFinishOrTheQueueClose) {
  FetchQueue queue(2);
  EXPECT_FALSE(queue.wait(0, 10ms));
  std::thread worker([&] {
    std::this_thread::sleep_for(30ms);
    queue.finish(1);
  });
  EXPECT_TRUE(queue.wait(1, 5s));
  worker.join();
  std::thread closer([&] { queue.close(); });
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.wait(0, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  closer.join();
}

}  // namespace
