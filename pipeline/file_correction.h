// The windowed correction of one file: each window's request sent through a
// transport, the reply blocks merged with the sent blocks, a follow-up for
// what the reply lacked, the comparison log written group by group and every
// block recorded for the review. The host supplies the ports; nothing here
// knows how a request travels or where a record goes.
#pragma once
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/block_record.h"
#include "pipeline/comparison_log.h"
#include "pipeline/merge.h"
#include "pipeline/windowing.h"

namespace brivane::pipeline {

// The request text of cues [first, last): each block as "index\nstart -->
// end\ntext\n\n".
std::string request_text(const std::vector<text::Subtitle> &cues, std::size_t first,
                         std::size_t last);

// One window's request as the file correction will send it.
struct PlannedRequest {
  std::string text;
  long long window;  // one-based, within its file
};

// The requests of the windows a plan processes, in window order.
std::vector<PlannedRequest> window_requests(const std::vector<text::Subtitle> &cues,
                                            long long window_size, const WindowPlan &plan);

// A window never needs to be wider than the file.
long long effective_window_size(long long window_size, long long block_count);

// One reply as the file correction reads it.
struct Reply {
  std::size_t id = 0;     // the transport's name for it, used by `CueSource`
  std::string text;       // after the glossary and the cleanup
  // Did not finish (the token limit, or the service ran out of resources):
  // its last block may stop mid-text.
  bool cut_off = false;
  // Stopped by the service's content filter: the same text would be
  // stopped again, so what it lacks is not asked for again.
  bool filtered = false;
  // The content as returned and after the glossary's replacements, when known.
  std::optional<std::string> returned, after_glossary;
  // Filled by `Transport::read_blocks`.
  std::vector<text::Subtitle> blocks;
  std::vector<std::string> details;  // the glossary's replacement details
};

class Transport {
 public:
  virtual ~Transport() = default;
  // The reply to `request` for window `window` (one-based). A follow-up is
  // always sent now; a window's first request may have been fetched ahead.
  virtual Reply send(long long window, const std::string &request, bool follow_up) = 0;
  // The blocks the engine reads from the reply, and its replacement details.
  virtual void read_blocks(Reply &reply) = 0;
  // No request goes out any more: the run stops.
  virtual void close() = 0;
};

class Log {
 public:
  virtual ~Log() = default;
  virtual void debug(const std::string &message) = 0;
  virtual void info(const std::string &message) = 0;
  virtual void warning(const std::string &message) = 0;
  virtual void error(const std::string &message) = 0;
  virtual void critical(const std::string &message) = 0;
  // A window merged: `done` of the `total` windows the plan processes.
  virtual void progress(const std::string &message, long long done, long long total) = 0;
  // A list of block indexes as the records quote it.
  virtual std::string quote_list(const std::vector<std::string> &indexes) = 0;
};

// The reviewer's comparison log, appended once per window (and once for a
// failed window's error section and banner).
class ComparisonLogSink {
 public:
  virtual ~ComparisonLogSink() = default;
  virtual void append(const std::string &text) = 0;
  // Why the last append failed when the file system refused it; else empty.
  virtual const std::string &write_failure() const = 0;
};

class ReviewSink {
 public:
  virtual ~ReviewSink() = default;
  virtual void add_block(long long window, const text::Subtitle &sent, const BlockRecord &record,
                         const text::Subtitle *reply_block,
                         const std::vector<std::string> &details) = 0;
};

// Where a sent cue's written text comes from.
struct CueSource {
  static constexpr std::size_t kSent = static_cast<std::size_t>(-1);
  std::size_t reply = kSent;  // a `Reply::id`, or kSent: the cue stays as sent
  std::size_t block = 0;      // in that reply's blocks
};

class Outcome {
 public:
  virtual ~Outcome() = default;
  // The cues of a finished window, from cue `first` (zero-based) on.
  virtual void window_done(std::size_t first, const std::vector<CueSource> &sources) = 0;
};

// What a failure that stops the run says of itself.
struct Failure {
  std::string message;
  std::string type_name;
};

class Failures {
 public:
  virtual ~Failures() = default;
  // The failure in flight, described; a failure that must pass untouched
  // (an interrupt) is raised again from here.
  virtual Failure describe(std::exception_ptr failure) = 0;
  // The run stops with `message`, caused by the failure described last.
  virtual void stop(const std::string &message) = 0;
};

struct Ports {
  Transport &transport;
  Log &log;
  Failures &failures;
  Outcome &outcome;
  ComparisonLogSink *comparison_log = nullptr;  // null: disabled
  ReviewSink *review = nullptr;                 // null: no review kept
};

struct CorrectionOptions {
  long long window_size = 1;  // > 0, at most the file's length
  std::optional<long long> start_window, end_window;
  bool retry_missing = false;  // one follow-up for what a reply lacked
  bool detailed_log = true;    // each reply in the comparison log
  bool risk_log = false;       // each block's medical risks in the comparison log
};

class FileCorrection {
 public:
  FileCorrection(const std::vector<text::Subtitle> &cues, CorrectionOptions options, Ports ports);

  const WindowPlan &plan() const { return plan_; }
  long long window_size() const { return options_.window_size; }
  // "总窗口数: ..." for the records.
  void announce_plan();
  // Every window of the plan, in order. False when a window failed: the run
  // stopped (`Failures::stop`) or the comparison log could not be written.
  bool run();

 private:
  bool correct_window(long long window_idx, const std::string &request);
  void exchange(long long window_idx, const std::string &request);
  Reply ask_again(long long window_idx, const std::vector<text::Subtitle> &sent,
                  const std::vector<std::size_t> &lacking, std::vector<PairedBlock> &pairs,
                  std::vector<bool> &from_follow_up, std::vector<StageTexts> &stages);
  void stop_run(long long window_idx, const Failure &failure);
  comparison_log::WindowSpan span(long long window_idx) const;
  // A window's entries are gathered and written together.
  void append(const std::string &text);
  void write_log();
  std::size_t first_cue(long long window_idx) const;
  std::size_t window_end(long long window_idx) const;

  std::string pending_log_;
  const std::vector<text::Subtitle> &cues_;
  CorrectionOptions options_;
  Ports ports_;
  WindowPlan plan_;
};

}  // namespace brivane::pipeline
