// One file's correction, wired to the host: settings, the reply cache and the
// prefetch, the file read and written, the review handed in. The windows
// themselves run in pipeline::FileCorrection.
#include <optional>
#include <string>
#include <vector>

#include "host/bindings.h"
#include "host/comparison_log_file.h"
#include "host/file_ports.h"
#include "host/host.h"
#include "host/settings.h"
#include "host/review.h"
#include "host/window_arguments.h"

namespace brivane::bind {
namespace {
using host::global;

// "3, 17, 40": the first lines of the parts kept as written, the first ten.
std::string line_list(const std::vector<std::size_t> &lines) {
  std::string listed;
  for (std::size_t k = 0; k < lines.size() && k < 10; ++k) {
    if (k) listed += ", ";
    listed += std::to_string(lines[k]);
  }
  if (lines.size() > 10) listed += ", …";
  return listed;
}

// The file read so that nothing of it is lost, with the reader's records;
// within a batch, as the batch read it to plan it.
CueFile read_file(py::handle self, py::handle file_path, BatchShare *batch) {
  std::optional<CueFile> planned;
  if (batch) {
    auto found = batch->read.find(host::str_of(file_path));
    if (found != batch->read.end()) {
      planned = std::move(found->second);
      batch->read.erase(found);
    }
  }
  if (planned) report_encoding(*planned, file_path);
  CueFile file = planned ? std::move(*planned)
                         : host::guard([&] { return read_cue_file(self, file_path); },
                                       [](py::error_already_set &error) -> CueFile {
                                         host::error("解析字幕文件失败: " + host::message_of(error));
                                         throw error;
                                       });
  host::info("成功解析字幕文件，共" + std::to_string(file.cue_count) + "个字幕块");
  return file;
}

class FileCorrection {
 public:
  FileCorrection(py::object self, py::object file_path, py::object custom_window_size,
                 py::object start_window, py::object end_window, BatchShare *batch)
      : self_(std::move(self)),
        batch_(batch),
        file_path_(std::move(file_path)),
        custom_window_size_(std::move(custom_window_size)),
        start_window_(std::move(start_window)),
        end_window_(std::move(end_window)) {}

  bool run() {
    open_review();
    std::optional<RequestSettings> settings = request_settings(self_, &reason_);
    if (!settings) return false;
    bool retry_missing =
        settings::flag(self_.attr("config"), "retry_missing_blocks");
    // Within a batch the batch's cache serves; a file on its own opens it.
    ReplyCache *cache = batch_ ? batch_->cache : nullptr;
    std::shared_ptr<ReplyCache> own_cache;
    if (!batch_) {
      own_cache = ReplyCache::configured(self_);
      cache = own_cache.get();
    }
    output_path_ = self_.attr("get_output_path")(file_path_);
    file_ = read_file(self_, file_path_, batch_);
    // A file with no cue at all is not a subtitle file: an unchanged copy
    // would count as a success.
    if (file_.cue_count == 0 && !file_.verbatim_lines.empty()) {
      return fail("未能从字幕文件中解析出任何字幕块: " + host::str_of(file_path_));
    }
    if (!file_.verbatim_lines.empty()) {
      host::warning(std::to_string(file_.verbatim_lines.size()) + "个片段无法识别为字幕块，已原样保留 (行 " +
                    line_list(file_.verbatim_lines) + ")");
    }
    window_size_ = custom_window_size_.is_none() ? self_.attr("window_size") : custom_window_size_;
    std::string window_size_text = host::str_of(window_size_);
    if (!valid_window_size(window_size_)) {
      return fail("窗口大小必须是正整数，当前值: " + window_size_text);
    }
    host::info("使用窗口大小: " + window_size_text);
    bool detailed = true;
    ComparisonLogFile log = open_comparison_log(self_, file_path_, window_size_text,
                                                start_window_, end_window_, detailed);

    std::vector<pipeline::BlockFields> cues = fields_of_all(file_.subtitles);
    long long block_count = static_cast<long long>(cues.size());
    pipeline::CorrectionOptions options{
        pipeline::effective_window_size(saturated(window_size_), block_count),
        optional_bound(start_window_), optional_bound(end_window_), retry_missing, detailed,
        settings::flag(self_.attr("config"), "risk_checks")};
    HostTransport transport(self_, cache, settings->timeout, review_);
    HostLog records(&reason_, batch_ ? batch_->progress : py::none(), file_path_);
    bool range_mode = !start_window_.is_none() || !end_window_.is_none();
    Placement placement(file_.subtitles, transport, range_mode);
    pipeline::FileCorrection correction(
        cues, options,
        {transport, records, failures_, placement, log.enabled() ? &log : nullptr,
         review_ ? &review_ : nullptr});
    correction.announce_plan();
    // Within a batch the batch fetches ahead; a file corrected on its own
    // fetches its own windows ahead when several requests may be in flight.
    std::optional<Prefetch> own_prefetch;
    transport.use_prefetch(batch_ ? batch_->prefetch : nullptr);
    if (!transport.prefetch() && settings->jobs > 1) {
      std::vector<PlannedRequest> planned;
      long long window = correction.plan().start_idx;
      for (std::string &text : pipeline::window_requests(cues, options.window_size,
                                                          correction.plan())) {
        planned.push_back({std::move(text), ++window});
      }
      own_prefetch.emplace(self_, std::move(planned), *settings, own_cache);
      transport.use_prefetch(&*own_prefetch);
    }
    if (!correction.run()) return false;

    if (!host::truthy(write_cue_file(file_, placement.corrected(), output_path_, &reason_))) {
      return false;
    }
    host::info("字幕文件处理成功: " + host::str_of(file_path_) + " -> " + host::str_of(output_path_));
    if (log.enabled()) host::info("详细对比日志已保存到: " + host::str_of(log.path()));
    return true;
  }

  // The file's blocks so far go into the review report (the batch's, or a
  // report of this file alone, written now). Never raises: the review must
  // not change how the correction ended.
  void hand_in_review(bool corrected, const std::string &reason) {
    if (!review_) return;
    host::guard(
        [&] {
          py::dict file;
          file["input"] = file_path_;
          file["output"] = corrected ? output_path_ : py::object(py::none());
          file["corrected"] = corrected;
          file["started"] = started_;
          file["window_size"] = window_size_ ? window_size_ : py::object(py::none());
          file["encoding"] = file_.guessed_encoding;
          file["reason"] = reason.empty() ? py::object(py::none()) : host::text(reason);
          review_.hand_in(file);
          if (own_report_) write_review_report(review_.report());
        },
        [](py::error_already_set &error) {
          host::error("审阅报告写入失败: " + host::message_of(error));
        });
  }

  const std::optional<py::error_already_set> &stopped() const { return failures_.stopped(); }
  // Why the correction failed, as its last error record said.
  std::string &reason() { return reason_; }

 private:
  bool fail(const std::string &message) {
    host::error(message);
    reason_ = message;
    return false;
  }

  void open_review() {
    own_report_ = !batch_;
    py::object report = batch_ ? batch_->report : py::none();
    if (own_report_) report = open_review_report(self_);
    if (report.is_none()) return;
    started_ = global("datetime").attr("now")().attr("strftime")("%Y-%m-%d %H:%M:%S");
    review_.open(report);
  }

  py::object self_;
  BatchShare *batch_;
  py::object file_path_, custom_window_size_, start_window_, end_window_;
  CueFile file_;
  py::object window_size_;
  py::object output_path_ = py::none();
  FileReview review_;
  bool own_report_ = false;
  py::object started_ = py::none();
  HostFailures failures_;
  std::string reason_;
};

}  // namespace

py::object correct_file(py::object self, py::object file_path, py::object custom_window_size,
                        py::object start_window, py::object end_window, BatchShare *batch) {
  FileCorrection correction(self, file_path, custom_window_size, start_window, end_window, batch);
  py::object result = host::guard([&] { return py::bool_(correction.run()); },
                                  [&](py::error_already_set &error) {
                                    correction.reason() = "字幕文件处理失败: " + host::message_of(error);
                                    host::error(correction.reason());
                                    return py::bool_(false);
                                  });
  correction.hand_in_review(host::truthy(result), correction.reason());
  if (batch) batch->reason = host::truthy(result) ? std::string() : correction.reason();
  // Raised past the general failure handler above.
  if (correction.stopped()) throw *correction.stopped();
  return result;
}

py::object process_subtitle_file(py::object self, py::object file_path,
                                 py::object custom_window_size, py::object start_window,
                                 py::object end_window) {
  return correct_file(std::move(self), std::move(file_path), std::move(custom_window_size),
                      std::move(start_window), std::move(end_window), nullptr);
}

}  // namespace brivane::bind
