// The request policy: attempts and pauses, refusals, the account's limit and
// the finish of a reply, with the records each writes.
#include <gtest/gtest.h>

#include "fake_log.h"
#include "pipeline/request_policy.h"

using namespace brivane::pipeline;

namespace {

RequestAttempts attempts_of(long long most, FakeLog &log) {
  return RequestAttempts([most](long long n) { return n < most; }, std::to_string(most), "5",
                         log);
}

TEST(RequestAttempts, PausesBetweenAttemptsAndRecordsTheLastFailure) {
  FakeLog log;
  RequestAttempts attempts = attempts_of(2, log);
  ASSERT_TRUE(attempts.more());
  attempts.starting();
  EXPECT_TRUE(attempts.failed_by("timed out", true));
  attempts.starting();
  EXPECT_FALSE(attempts.retry_after("API多次调用失败: HTTP 500"));
  EXPECT_FALSE(attempts.more());
  EXPECT_EQ(log.records, (std::vector<std::string>{
                             "I 正在调用API校正字幕（尝试 1/2）...",
                             "E API请求异常: timed out",
                             "I 将在 5 秒后重试...",
                             "I 正在调用API校正字幕（尝试 2/2）...",
                             "E API多次调用失败: HTTP 500",
                         }));
}

TEST(RequestAttempts, ExhaustedNamesTheLastFailure) {
  FakeLog log;
  RequestAttempts attempts = attempts_of(1, log);
  attempts.starting();
  EXPECT_FALSE(attempts.failed_by("boom", false));
  EXPECT_EQ(attempts.exhausted("boom"), "API在 1 次尝试后仍然失败: boom");
  EXPECT_EQ(log.records.front(), "I 正在调用API校正字幕（尝试 1/1）...");
  EXPECT_EQ(log.records[1], "E 调用API时发生未知错误: boom");
  EXPECT_EQ(log.records.back(), "E API在 1 次尝试后仍然失败: boom");
}

TEST(RequestPolicy, RefusesOnlyClientErrorsAndOnlyWhenAsked) {
  EXPECT_EQ(refusal_message(402, true, "Insufficient Balance"),
            "账户余额不足 (HTTP 402)，不再重试: Insufficient Balance");
  EXPECT_EQ(refusal_message(401, true, "bad key"), "服务拒绝了请求 (HTTP 401)，不再重试: bad key");
  for (long status : {429L, 500L, 503L, 200L}) EXPECT_FALSE(refusal_message(status, true, "x"));
  EXPECT_FALSE(refusal_message(402, false, "x"));
}

TEST(RequestPolicy, TheAccountsLimitSpeaksOnlyWhileFindingItWithOthersInFlight) {
  FakeLog log;
  AdaptiveLimit found(1, 8), fixed(8);
  ASSERT_TRUE(found.acquire());
  ASSERT_TRUE(fixed.acquire());
  EXPECT_TRUE(refused_by_account_limit(found, 429));
  EXPECT_FALSE(refused_by_account_limit(found, 503));
  EXPECT_FALSE(refused_by_account_limit(fixed, 429));
  found.release();
  EXPECT_FALSE(refused_by_account_limit(found, 429));
  observe_status(fixed, 429, fixed.round(), log);
  EXPECT_EQ(log.records, (std::vector<std::string>{"I 并发请求数调整为 4"}));
}

TEST(RequestPolicy, FinishReasonsDecideTrustStorageAndRecords) {
  EXPECT_TRUE(finish_of("stop").stored);
  for (const char *cut : {"length", "insufficient_system_resource"}) {
    EXPECT_TRUE(finish_of(cut).cut_off);
    EXPECT_FALSE(finish_of(cut).stored);
  }
  EXPECT_TRUE(finish_of("content_filter").filtered);
  EXPECT_FALSE(finish_of("").stored);
  FakeLog log;
  record_finish("length", 2048, true, log);
  ASSERT_EQ(log.records.size(), 3u);
  EXPECT_EQ(log.records[1], "W 警告: API响应因达到最大长度限制而被截断");
  EXPECT_NE(log.records[2].find("模型推理用去 2048 个输出 tokens，回复为空"), std::string::npos);
  log.records.clear();
  record_finish("length", 0, false, log);
  EXPECT_EQ(log.records.size(), 2u);  // no reasoning, nothing said of it
}

}  // namespace
