// One file's correction, wired to the host: the review report, the block
// records handed to it, the comparison log's file, and the ports the pipeline
// runs through (the client, the logger, the host's exceptions, the written
// blocks).
#pragma once
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "host/client.h"
#include "pipeline/file_correction.h"

namespace brivane::bind {
namespace py = pybind11;

// A new, empty report when `review_report` is on, else None.
py::object open_review_report(py::handle self);

// Writes the report's files and logs the usage of the replies it counted.
// A failure is logged; it never fails the batch, whose outputs are written.
void write_review_report(py::handle report);

}  // namespace brivane::bind

namespace brivane::bind {
namespace py = pybind11;

class FileReview final : public pipeline::ReviewSink {
 public:
  explicit operator bool() const { return static_cast<bool>(report_); }
  const py::object &report() const { return report_; }
  void open(py::object report) { report_ = std::move(report); }

  // A cached reply cost nothing: its usage is None.
  void count_usage(py::handle usage);
  void add_block(long long window, const text::Subtitle &sent,
                 const pipeline::BlockRecord &record, const text::Subtitle *reply_block,
                 const std::vector<std::string> &details) override;
  // The blocks so far go into the report, with `file`'s fields.
  void hand_in(py::dict file);

 private:
  py::object report_;
  py::list blocks_, usages_;
};

}  // namespace brivane::bind

namespace brivane::bind {
namespace py = pybind11;

class ComparisonLogFile final : public pipeline::ComparisonLogSink {
 public:
  ComparisonLogFile() = default;
  ComparisonLogFile(ComparisonLogFile &&) = default;
  ComparisonLogFile &operator=(ComparisonLogFile &&) = default;
  ~ComparisonLogFile() override;

  bool enabled() const { return static_cast<bool>(path_); }
  const py::object &path() const { return path_; }

  // Files corrected within the same second would share one name; each file
  // claims its own, so no two runs, threads or processes write into one log.
  // `held_open`: the file stays open from its header to `close`, each write
  // flushed; else every write group opens and closes it.
  static ComparisonLogFile claim(py::handle log_dir, const std::string &stem,
                                 const std::string &header, bool held_open);

  void append(const std::string &text) override;
  // "写入失败: ..." when the file system refused the last write.
  const std::string &write_failure() const override { return failure_; }
  void close();

 private:
  void write(py::handle stream, const std::string &text);

  py::object path_, stream_;
  std::string failure_;
};

// The `logging` section's comparison log for `file_path`, its header written,
// with the records saying so; disabled (and recorded so) when switched off.
// `detailed`: whether each reply goes in.
ComparisonLogFile open_comparison_log(py::handle self, py::handle file_path,
                                      const std::string &window_size, py::handle start_window,
                                      py::handle end_window, bool &detailed);

}  // namespace brivane::bind

namespace brivane::bind {
namespace py = pybind11;

// `self.call_deepseek_api_with_subtitle_prompt` (a window's first request
// from the prefetch when it planned it), `self.extract_blocks_from_text`.
class HostTransport final : public pipeline::Transport {
 public:
  HostTransport(py::handle self, ReplyCache *cache, py::object timeout, FileReview &review)
      : self_(self), cache_(cache), timeout_(std::move(timeout)), review_(review) {}
  void use_prefetch(Prefetch *prefetch) { prefetch_ = prefetch; }
  Prefetch *prefetch() const { return prefetch_; }

  pipeline::Reply send(long long window, const std::string &request, bool follow_up) override;
  void read_blocks(pipeline::Reply &reply) override;
  void close() override;

  // Reply block `block` of reply `id` as the engine read it.
  py::handle block(std::size_t id, std::size_t block) const;
  // The replies of a finished window are no longer needed.
  void forget() { replies_.clear(); }

 private:
  struct Held {
    FetchedReply fetched;
    py::list blocks;
  };
  FetchedReply ask_directly(long long window, const std::string &request);

  py::handle self_;
  ReplyCache *cache_;
  py::object timeout_;
  FileReview &review_;
  Prefetch *prefetch_ = nullptr;
  std::vector<Held> replies_;  // this window's, by id
};

class HostFailures final : public pipeline::Failures {
 public:
  pipeline::Failure describe(std::exception_ptr failure) override;
  void stop(const std::string &message) override;
  // The run-stopping error, once a window has failed.
  const std::optional<py::error_already_set> &stopped() const { return stopped_; }

 private:
  std::optional<py::error_already_set> last_, stopped_;
};

// The written blocks: the sent dict with the reply block's text, or the sent
// dict itself. In range mode the file's blocks outside the range stay.
class Placement final : public pipeline::Outcome {
 public:
  Placement(py::list subtitles, HostTransport &transport, bool range_mode);
  void window_done(std::size_t first, const std::vector<pipeline::CueSource> &sources) override;
  const py::list &corrected() const { return corrected_; }

 private:
  py::list subtitles_, corrected_;
  HostTransport &transport_;
  bool range_mode_;
};

// The sent blocks' fields as the pipeline reads them.
std::vector<text::Subtitle> fields_of_all(py::handle blocks);

}  // namespace brivane::bind
