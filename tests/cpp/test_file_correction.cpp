// The file correction's control flow against fakes of its ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "fake_log.h"
#include "pipeline/file_correction.h"
#include "text/reply.h"

using namespace brivane::pipeline;
using brivane::text::Subtitle;

namespace {

// Answers each request with a scripted reply (by request number), or throws.
struct FakeTransport : Transport {
  std::map<std::size_t, std::string> replies;  // by request number
  std::map<std::size_t, bool> cut_off, filtered;
  std::size_t failing = static_cast<std::size_t>(-1);
  std::vector<std::string> requests;
  std::vector<bool> follow_ups;
  bool closed = false;

  Reply send(long long, const std::string &request, bool follow_up) override {
    std::size_t n = requests.size();
    requests.push_back(request);
    follow_ups.push_back(follow_up);
    if (n == failing) throw std::runtime_error("service down");
    Reply reply;
    reply.id = n;
    reply.text = replies.count(n) ? replies[n] : request;  // echo by default
    reply.cut_off = cut_off[n];
    reply.filtered = filtered[n];
    reply.returned = reply.after_glossary = reply.text;
    return reply;
  }
  void read_blocks(Reply &reply) override {
    for (auto &block : brivane::text::extract_blocks(reply.text).subtitles) {
      reply.blocks.push_back({block.index, block.start_time, block.end_time, block.text});
    }
  }
  void close() override { closed = true; }
};

struct FakeComparisonLog : ComparisonLogSink {
  std::string written, failure;
  bool refuse = false;
  void append(const std::string &text) override {
    if (refuse) {
      failure = "写入失败: log: 磁盘空间不足";
      throw std::runtime_error("disk full");
    }
    written += text;
  }
  const std::string &write_failure() const override { return failure; }
};

struct FakeFailures : Failures {
  std::string stopped;
  Failure describe(std::exception_ptr failure) override {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception &e) {
      return {e.what(), "RuntimeError"};
    }
  }
  void stop(const std::string &message) override { stopped = message; }
};

struct FakeOutcome : Outcome {
  std::vector<std::pair<std::size_t, std::vector<CueSource>>> windows;
  void window_done(std::size_t first, const std::vector<CueSource> &sources) override {
    windows.emplace_back(first, sources);
  }
};

std::vector<Subtitle> cues(int n) {
  std::vector<Subtitle> all;
  for (int i = 1; i <= n; ++i) {
    std::string s = std::to_string(i);
    all.push_back({s, "00:00:0" + s + ",000", "00:00:0" + s + ",500", "line " + s});
  }
  return all;
}

CorrectionOptions windows(long long size, std::optional<long long> start = std::nullopt,
                          std::optional<long long> end = std::nullopt, bool retry = false) {
  CorrectionOptions options;
  options.window_size = size;
  options.start_window = start;
  options.end_window = end;
  options.retry_missing = retry;
  return options;
}

struct Harness {
  FakeTransport transport;
  FakeLog log;
  FakeComparisonLog comparison;
  FakeFailures failures;
  FakeOutcome outcome;
  std::vector<Subtitle> file = cues(5);

  bool run(CorrectionOptions options) {
    FileCorrection correction(file, options,
                              {transport, log, failures, outcome, &comparison, nullptr});
    return correction.run();
  }
  bool logged(const std::string &record) const {
    return std::find(log.records.begin(), log.records.end(), record) != log.records.end();
  }
};

}  // namespace

TEST(FileCorrection, SendsEveryWindowAndPlacesEveryCue) {
  Harness r;
  ASSERT_TRUE(r.run(windows(2)));
  std::vector<PlannedRequest> planned = window_requests(r.file, 2, plan_windows(5, 2, {}, {}));
  ASSERT_EQ(planned.size(), 3u);
  ASSERT_EQ(r.transport.requests.size(), 3u);
  for (std::size_t w = 0; w < planned.size(); ++w) {
    EXPECT_EQ(r.transport.requests[w], planned[w].text);
    EXPECT_EQ(planned[w].window, static_cast<long long>(w) + 1);
  }
  ASSERT_EQ(r.outcome.windows.size(), 3u);
  EXPECT_EQ(r.outcome.windows[2].first, 4u);
  EXPECT_EQ(r.outcome.windows[2].second[0].reply, 2u);
  EXPECT_TRUE(r.logged("P 字幕校正进度: 100.00% (窗口 3/3)"));
}

TEST(FileCorrection, KeepsWhatTheReplyLacksAndAsksAgainOnlyWhenAllowed) {
  for (bool retry : {false, true}) {
    Harness r;
    r.transport.replies[0] = request_text(r.file, 0, 2) + request_text(r.file, 3, 5);  // no #3
    ASSERT_TRUE(r.run(windows(5, std::nullopt, std::nullopt, retry)));
    const CueSource &third = r.outcome.windows[0].second[2];
    if (!retry) {
      EXPECT_EQ(r.transport.requests.size(), 1u);
      EXPECT_EQ(third.reply, CueSource::kSent);
      EXPECT_TRUE(r.logged("W API返回结果中缺少以下字幕块，已使用原始内容: <3>"));
      EXPECT_NE(r.comparison.written.find("line 3"), std::string::npos);
    } else {
      ASSERT_EQ(r.transport.requests.size(), 2u);
      EXPECT_TRUE(r.transport.follow_ups[1]);
      EXPECT_EQ(r.transport.requests[1], request_text(r.file, 2, 3));
      EXPECT_TRUE(r.logged("I 重新请求缺失的字幕块: <3>"));
      EXPECT_EQ(third.reply, 1u);
      EXPECT_FALSE(r.logged("W API返回结果中缺少以下字幕块，已使用原始内容: <3>"));
    }
  }
}

TEST(FileCorrection, DistrustsTheLastBlockOfAnUnfinishedReply) {
  struct Case {
    bool filtered, retry;
    std::size_t requests;
  };
  // A cut reply's last block is asked for again when allowed; a filtered
  // reply's never (the filter would stop it again).
  for (Case c : {Case{false, false, 1}, Case{false, true, 2}, Case{true, false, 1},
                 Case{true, true, 1}}) {
    Harness r;
    (c.filtered ? r.transport.filtered : r.transport.cut_off)[0] = true;
    ASSERT_TRUE(r.run(windows(5, std::nullopt, std::nullopt, c.retry)));
    ASSERT_EQ(r.transport.requests.size(), c.requests);
    if (c.requests == 2) {
      EXPECT_EQ(r.transport.requests[1], request_text(r.file, 4, 5));
      EXPECT_EQ(r.outcome.windows[0].second[4].reply, 1u);
      continue;
    }
    EXPECT_EQ(r.outcome.windows[0].second[4].reply, CueSource::kSent);
    EXPECT_EQ(r.outcome.windows[0].second[3].reply, 0u);
    EXPECT_TRUE(r.logged("W API返回结果中缺少以下字幕块，已使用原始内容: <5>"));
    EXPECT_EQ(r.logged("W 内容审核拦截 (content_filter)：窗口 1 的 1 个字幕块保留原文"), c.filtered);
  }
}

TEST(FileCorrection, AFailedWindowStopsTheRunBeforeAnotherRequest) {
  Harness r;
  r.transport.failing = 1;
  EXPECT_FALSE(r.run(windows(2)));
  EXPECT_EQ(r.transport.requests.size(), 2u);
  EXPECT_TRUE(r.transport.closed);
  EXPECT_EQ(r.outcome.windows.size(), 1u);
  EXPECT_EQ(r.failures.stopped, "API调用失败，程序终止执行！错误信息: service down");
  EXPECT_TRUE(r.logged("E API调用失败: service down"));
  EXPECT_NE(r.comparison.written.find(comparison_log::error_section({2, 3, 4}, "service down",
                                                                    "RuntimeError")),
            std::string::npos);
  EXPECT_NE(r.comparison.written.find(comparison_log::termination_banner()), std::string::npos);
}

TEST(FileCorrection, ARefusedComparisonLogFailsTheFileNotTheService) {
  Harness r;
  r.comparison.refuse = true;
  EXPECT_FALSE(r.run(windows(2)));
  EXPECT_TRUE(r.failures.stopped.empty());
  EXPECT_TRUE(r.logged("E 写入失败: log: 磁盘空间不足"));
  EXPECT_EQ(r.transport.requests.size(), 1u);
}

TEST(FileCorrection, RangeSkipsWindowsOutsideIt) {
  Harness r;
  ASSERT_TRUE(r.run(windows(2, 2, 2)));
  EXPECT_EQ(r.transport.requests, std::vector<std::string>{request_text(r.file, 2, 4)});
  EXPECT_TRUE(r.logged("I 跳过窗口 1 (不在处理范围内)"));
  EXPECT_TRUE(r.logged("I 跳过窗口 3 (不在处理范围内)"));
}
