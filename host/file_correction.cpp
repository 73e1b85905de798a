// One file's correction, wired to the host: settings, the reply cache and the
// prefetch, the file read and written, the ports, the comparison log and the
// review. The windows themselves run in pipeline::FileCorrection.
#include <climits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/client.h"
#include "host/engine.h"
#include "host/file_correction.h"
#include "host/host.h"
#include "host/settings.h"
#include "pipeline/batch.h"
#include "pipeline/comparison_log.h"
#include "pipeline/file_correction.h"
#include "pipeline/request_policy.h"

namespace brivane::bind {
using host::global;
using namespace pybind11::literals;
namespace clog = pipeline::comparison_log;

ComparisonLogFile ComparisonLogFile::claim(py::handle log_dir, const std::string &stem,
                                           const std::string &header, bool held_open) {
  std::pair<py::object, py::object> claimed =
      host::claim_name(log_dir, stem, ".log", [](py::handle candidate) {
        return global("open")(candidate, "x", "encoding"_a = "utf-8");
      });
  ComparisonLogFile log;
  log.path_ = claimed.first;
  py::object stream = claimed.second;
  if (held_open) {
    log.stream_ = stream;
    log.write(stream, header);
  } else {
    host::with(stream, [&] { log.write(stream, header); });
  }
  return log;
}

ComparisonLogFile::~ComparisonLogFile() {
  try {
    close();
  } catch (py::error_already_set &) {
  }
}

void ComparisonLogFile::close() {
  if (!stream_) return;
  py::object stream = std::move(stream_);  // leaves stream_ null: closed once
  stream.attr("close")();
}

void ComparisonLogFile::write(py::handle stream, const std::string &text) {
  stream.attr("write")(host::text(host::redact(text)));
  // What a window wrote is on disk before the next request goes out.
  if (stream_) stream.attr("flush")();
}

void ComparisonLogFile::append(const std::string &text) {
  if (!enabled()) return;
  try {
    if (stream_) return write(stream_, text);
    py::object stream = global("open")(path_, "a", "encoding"_a = "utf-8");
    host::with(stream, [&] { write(stream, text); });
  } catch (py::error_already_set &error) {
    failure_ = host::write_failure(path_, error);
    throw;
  }
}

ComparisonLogFile open_comparison_log(py::handle self, py::handle file_path,
                                      const std::string &window_size, py::handle start_window,
                                      py::handle end_window, bool &detailed) {
  py::object config = self.attr("config");
  bool subtitle_logs = settings::flag(config, "logging.enable_subtitle_logs");
  detailed = settings::flag(config, "logging.enable_detailed_logs");
  if (!subtitle_logs) {
    host::info("日志记录已禁用");
    return {};
  }
  py::object log_dir = settings::value(config, "logging.log_dir");
  py::object path = global("os").attr("path");
  py::object module_dir = path.attr("dirname")(path.attr("abspath")(global("__file__")));
  log_dir = path.attr("join")(module_dir, log_dir);
  global("os").attr("makedirs")(log_dir, "exist_ok"_a = true);
  py::object timestamp = global("datetime").attr("now")().attr("strftime")("%Y%m%d_%H%M%S");
  std::optional<clog::RangeLine> range;
  if (!start_window.is_none() || !end_window.is_none()) {
    range = clog::RangeLine{start_window.is_none() ? "1" : host::str_of(start_window),
                            end_window.is_none() ? "最后" : host::str_of(end_window)};
  }
  py::object now = global("datetime").attr("now")().attr("strftime")("%Y-%m-%d %H:%M:%S");
  ComparisonLogFile log = ComparisonLogFile::claim(
      log_dir, "subtitle_comparison_" + host::str_of(timestamp),
      clog::header(host::str_of(file_path), host::str_of(now), window_size, range),
      settings::flag(config, "logging.keep_comparison_log_open"));
  host::info("日志记录已启用，日志文件: " + host::str_of(log.path()));
  host::info(std::string("详细API响应记录: ") + (detailed ? "已启用" : "已禁用"));
  return log;
}

}  // namespace brivane::bind

namespace brivane::bind {
namespace {
constexpr std::string_view kArrow = " → ";
}

void FileReview::count_usage(py::handle usage) {
  if (!usage.is_none()) usages_.append(usage);
}

void FileReview::add_block(long long window, const text::Subtitle &sent,
                           const pipeline::BlockRecord &record,
                           const text::Subtitle *reply_block,
                           const std::vector<std::string> &details) {
  py::dict entry;
  entry["index"] = host::text(sent.index);
  entry["start"] = host::text(sent.start_time);
  entry["end"] = host::text(sent.end_time);
  entry["window"] = window;
  entry["sent"] = host::text(sent.text);
  if (record.missing()) {
    entry["returned"] = py::none();
    entry["glossary"] = py::none();
    entry["final"] = host::text(sent.text);
  } else {
    entry["returned"] = host::text(record.returned);
    entry["glossary"] = host::text(record.after_glossary);
    entry["final"] = host::text(record.final_text);
  }
  py::list flags;
  for (std::string_view flag : pipeline::block_flags(record, sent, details)) {
    flags.append(host::text(flag));
  }
  entry["risks"] = bind::risk_records(record.risks);
  entry["flags"] = flags;
  py::list entries;
  for (std::size_t d : record.glossary_entries) {
    const std::string &detail = details[d];
    std::size_t at = detail.find(kArrow);
    entries.append(py::make_tuple(host::text(detail.substr(0, at)),
                                  host::text(detail.substr(at + kArrow.size()))));
  }
  entry["glossary_entries"] = entries;
  entry["reply_timing"] = reply_block && record.pair.timing_changed
                              ? py::object(py::make_tuple(host::text(reply_block->start_time),
                                                          host::text(reply_block->end_time)))
                              : py::object(py::none());
  blocks_.append(entry);
}

void FileReview::hand_in(py::dict file) {
  file["blocks"] = blocks_;
  file["usages"] = usages_;
  report_.attr("add_file")(**file);
}

}  // namespace brivane::bind

namespace brivane::bind {
py::object open_review_report(py::handle self) {
  if (!settings::flag(self.attr("config"), "review_report")) {
    return py::none();
  }
  py::object review = host::global("importlib").attr("import_module")("brivane.review");
  return review.attr("Report")(self);
}

void write_review_report(py::handle report) {
  host::guard(
      [&] {
        py::object index = report.attr("write")();
        host::info("审阅报告已保存到: " + host::str_of(index));
        host::info(host::str_of(report.attr("usage_record")()));
      },
      [](py::error_already_set &error) {
        host::error("审阅报告写入失败: " + host::message_of(error));
      });
}

}  // namespace brivane::bind

namespace brivane::bind {
namespace {

std::string field_text(py::handle block, const char *key) {
  return host::str_of(block[py::str(key)]);
}

text::Subtitle fields_of(py::handle block) {
  return {field_text(block, "index"), field_text(block, "start_time"),
          field_text(block, "end_time"), field_text(block, "text")};
}

// The replacement details as text. An entry that is not text fails where
// splitting it would, or else belongs to no block.
std::vector<std::string> detail_texts(py::handle replacement_details) {
  std::vector<std::string> texts;
  py::str separator(host::text(" → "));
  for (py::handle detail : replacement_details) {
    if (PyUnicode_Check(detail.ptr())) {
      texts.push_back(host::utf8(detail));
    } else {
      detail.attr("split")(separator);
      texts.emplace_back();
    }
  }
  return texts;
}

// The sent block with the reply's text: index and timing stay as sent.
py::object with_reply_text(py::handle sent_block, py::handle reply_block) {
  py::dict written = PyDict_Check(sent_block.ptr())
                         ? py::reinterpret_steal<py::dict>(PyDict_Copy(sent_block.ptr()))
                         : py::dict(py::reinterpret_borrow<py::object>(sent_block));
  if (!written) throw py::error_already_set();
  written["text"] = reply_block[py::str("text")];
  return std::move(written);
}

}  // namespace

std::vector<text::Subtitle> fields_of_all(py::handle blocks) {
  std::vector<text::Subtitle> all;
  for (py::handle block : blocks) all.push_back(fields_of(block));
  return all;
}

pipeline::Reply HostTransport::send(long long window, const std::string &request,
                                    bool follow_up) {
  std::optional<FetchedReply> fetched;
  if (prefetch_ && !follow_up) fetched = prefetch_->reply_for(request);
  if (!fetched) fetched = ask_directly(window, request);
  pipeline::Reply reply;
  reply.id = replies_.size();
  reply.text = host::str_of(fetched->reply[py::int_(0)]);
  const ReplyInfo &info = fetched->info;
  pipeline::Finish finish = pipeline::finish_of(finish_text(info.finish_reason));
  reply.cut_off = finish.cut_off;
  reply.filtered = finish.filtered;
  if (info.returned) reply.returned = host::str_of(info.returned);
  if (info.after_glossary) reply.after_glossary = host::str_of(info.after_glossary);
  replies_.push_back({std::move(*fetched), py::list()});
  return reply;
}

FetchedReply HostTransport::ask_directly(long long window, const std::string &request) {
  // While requests are fetched ahead, this one counts toward their limit.
  return ask_client(self_, request, timeout_,
                    {cache_, window, prefetch_ ? &prefetch_->limit() : nullptr});
}

void HostTransport::read_blocks(pipeline::Reply &reply) {
  Held &held = replies_[reply.id];
  held.blocks = py::list(self_.attr("extract_blocks_from_text")(held.fetched.reply[py::int_(0)]));
  reply.blocks = fields_of_all(held.blocks);
  reply.details = detail_texts(held.fetched.reply[py::int_(1)]);
  if (review_) review_.count_usage(held.fetched.info.usage);
}

void HostTransport::close() {
  if (prefetch_) prefetch_->close();
}

py::handle HostTransport::block(std::size_t id, std::size_t block) const {
  return replies_[id].blocks[block];
}

pipeline::Failure HostFailures::describe(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (...) {
    py::error_already_set error = host::current_error();
    // Interrupts pass through untouched.
    if (!host::is_ordinary(error)) throw error;
    pipeline::Failure described{
        host::message_of(error),
        host::str_of(py::type::handle_of(error.value()).attr("__name__"))};
    last_.emplace(std::move(error));
    return described;
  }
}

void HostFailures::stop(const std::string &message) {
  // Chained, so a traceback shows why the run stopped.
  stopped_.emplace(host::chained(PyExc_RuntimeError, message, *last_));
}

Placement::Placement(py::list subtitles, HostTransport &transport, bool range_mode)
    : subtitles_(std::move(subtitles)), transport_(transport), range_mode_(range_mode) {
  if (range_mode_) {
    // A shallow copy: windows outside the range keep their input blocks.
    corrected_ = py::reinterpret_steal<py::list>(PySequence_List(subtitles_.ptr()));
    if (!corrected_) throw py::error_already_set();
  }
}

void Placement::window_done(std::size_t first, const std::vector<pipeline::CueSource> &sources) {
  for (std::size_t s = 0; s < sources.size(); ++s) {
    py::handle sent = subtitles_[first + s];
    py::object written =
        sources[s].reply == pipeline::CueSource::kSent
            ? py::reinterpret_borrow<py::object>(sent)
            : with_reply_text(sent, transport_.block(sources[s].reply, sources[s].block));
    if (range_mode_) {
      corrected_[py::int_(first + s)] = written;
    } else {
      corrected_.append(written);
    }
  }
  transport_.forget();
}

}  // namespace brivane::bind

namespace brivane::bind {

namespace {

// The windows' request texts a plan makes of a file already read.
struct FileRequests {
  long long block_count = 0;
  std::vector<PlannedRequest> requests;
};
std::optional<FileRequests> file_requests(const CueFile &file, py::handle window_size,
                                          py::handle start_window, py::handle end_window) {
  if (!valid_window_size(window_size)) return std::nullopt;
  std::vector<text::Subtitle> cues = fields_of_all(file.subtitles);
  FileRequests planned{static_cast<long long>(cues.size()), {}};
  long long size = pipeline::effective_window_size(saturated(window_size), planned.block_count);
  pipeline::WindowPlan plan = pipeline::plan_windows(
      planned.block_count, size, optional_bound(start_window), optional_bound(end_window));
  planned.requests = pipeline::window_requests(cues, size, plan);
  return planned;
}

}  // namespace

std::optional<PlannedFile> plan_file(py::handle self, py::handle file_path) {
  return host::guard(
      [&]() -> std::optional<PlannedFile> {
        PlannedFile planned{read_cue_file(self, file_path, false), {}};
        std::optional<FileRequests> requests =
            file_requests(planned.file, self.attr("window_size"), py::none(), py::none());
        if (requests) planned.requests = std::move(requests->requests);
        return planned;
      },
      [](py::error_already_set &) -> std::optional<PlannedFile> { return std::nullopt; });
}

py::tuple dry_run_requests(py::object engine, py::object file_path) {
  py::object window_size = engine.attr("window_size");
  std::optional<FileRequests> planned =
      file_requests(read_cue_file(engine, file_path, false), window_size, py::none(), py::none());
  if (!planned) {
    throw py::value_error("窗口大小必须是正整数，当前值: " + host::str_of(window_size));
  }
  py::list texts;
  for (const PlannedRequest &request : planned->requests) texts.append(host::text(request.text));
  return py::make_tuple(planned->block_count, texts);
}

}  // namespace brivane::bind

namespace brivane::bind {
namespace {
using host::global;

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
    HostLog read_records;
    if (std::optional<std::string> refused = pipeline::check_read_file(
            file_.cue_count, file_.verbatim_lines, host::str_of(file_path_), read_records)) {
      return fail(*refused);
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

    std::vector<text::Subtitle> cues = fields_of_all(file_.subtitles);
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
      own_prefetch.emplace(self_, pipeline::window_requests(cues, options.window_size, correction.plan()),
                           *settings, own_cache);
      transport.use_prefetch(&*own_prefetch);
    }
    if (!correction.run()) return false;

    if (!host::truthy(write_cue_file(file_, placement.corrected(), output_path_, &reason_))) {
      return false;
    }
    host::info("字幕文件处理成功: " + host::str_of(file_path_) + " -> " + host::str_of(output_path_));
    log.close();
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
