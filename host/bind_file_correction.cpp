// The windowed correction of one file: windows sent through the model
// client, reply blocks merged with the sent blocks by index text, the
// comparison log written group by group, the corrected file saved.
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "host/bindings.h"
#include "host/host.h"
#include "host/prefetch.h"
#include "host/review.h"
#include "pipeline/block_record.h"
#include "pipeline/comparison_log.h"
#include "pipeline/merge.h"
#include "pipeline/windowing.h"
#include "text/matchers.h"

namespace brivane::bind {
namespace {
using host::global;
using namespace pybind11::literals;
namespace clog = pipeline::comparison_log;

py::object field(py::handle block, const char *key) { return block[py::str(key)]; }
std::string field_text(py::handle block, const char *key) {
  return host::str_of(field(block, key));
}

// Python ints of any size, saturated to the range native arithmetic needs.
long long saturated(py::handle value) {
  int overflow = 0;
  long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow) return overflow > 0 ? LLONG_MAX / 4 : LLONG_MIN / 4;
  return result;
}

std::optional<long long> optional_bound(py::handle value) {
  if (value.is_none()) return std::nullopt;
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  return saturated(index);
}

bool valid_window_size(py::handle value) {
  if (!PyLong_Check(value.ptr())) return false;
  int positive = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_GT);
  if (positive < 0) throw py::error_already_set();
  return positive == 1;
}

std::string request_text(py::handle window) {
  std::string text;
  // Fields are read in order, so a record lacking several keys fails on
  // the first of them.
  for (py::handle block : window) {
    text += field_text(block, "index");
    text += "\n";
    text += field_text(block, "start_time");
    text += " --> ";
    text += field_text(block, "end_time");
    text += "\n";
    text += field_text(block, "text");
    text += "\n\n";
  }
  return text;
}

py::list window_at(py::handle subtitles, long long window_idx, long long size,
                   long long block_count) {
  long long first = window_idx * size;
  return subtitles[py::slice(first, std::min(first + size, block_count), 1)];
}

// The requests of the windows a plan processes, in order.
std::vector<PlannedRequest> window_requests(py::handle subtitles, long long block_count,
                                            long long size, const pipeline::WindowPlan &plan) {
  std::vector<PlannedRequest> requests;
  for (long long w = plan.start_idx; w < plan.end_idx; ++w) {
    requests.push_back({request_text(window_at(subtitles, w, size, block_count)), w + 1});
  }
  return requests;
}

// A window never needs to be wider than the file.
long long effective_size(py::handle window_size, long long block_count) {
  return std::min(saturated(window_size), std::max(block_count, 1LL));
}

// The comparison log, opened and closed per write group.
class ComparisonLog {
 public:
  ComparisonLog() = default;
  bool enabled() const { return static_cast<bool>(path_); }
  const py::object &path() const { return path_; }

  // Files corrected within the same second would share one name; each file
  // claims its own, so no two runs, threads or processes write into one log.
  static ComparisonLog claim(py::handle log_dir, const std::string &stem,
                             const std::string &header) {
    std::pair<py::object, py::object> claimed =
        host::claim_name(log_dir, stem, ".log", [](py::handle candidate) {
          return global("open")(candidate, "x", "encoding"_a = "utf-8");
        });
    ComparisonLog log;
    log.path_ = claimed.first;
    py::object stream = claimed.second;
    host::with(stream, [&] { stream.attr("write")(host::text(host::redact(header))); });
    return log;
  }

  void append(const std::string &text) {
    if (!enabled()) return;
    try {
      py::object stream = global("open")(path_, "a", "encoding"_a = "utf-8");
      host::with(stream, [&] { stream.attr("write")(host::text(host::redact(text))); });
    } catch (py::error_already_set &error) {
      failure_ = host::write_failure(path_, error);
      throw;
    }
  }

  // Why the last write failed, when it was the file system ("写入失败: ...").
  const std::string &write_failure() const { return failure_; }

 private:
  py::object path_;
  std::string failure_;
};

bool cut_off_at_limit(const ReplyInfo &info) {
  return info.finish_reason.equal(py::str("length"));
}

// The remarks a fenced reply made outside its fence (after the glossary, as
// the cleanup saw them); empty when unknown.
std::string unfenced_prose(const ReplyInfo &info) {
  if (!info.after_glossary || !PyUnicode_Check(info.after_glossary.ptr())) return {};
  return text::match::unfenced_prose(host::utf8(info.after_glossary));
}

// A block as the merge sees it: the text forms of its fields.
pipeline::BlockFields fields_of(py::handle block) {
  return {field_text(block, "index"), field_text(block, "start_time"),
          field_text(block, "end_time"), field_text(block, "text")};
}

std::vector<pipeline::BlockFields> fields_of_all(py::handle blocks) {
  std::vector<pipeline::BlockFields> all;
  for (py::handle block : blocks) all.push_back(fields_of(block));
  return all;
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
  written["text"] = field(reply_block, "text");
  return std::move(written);
}

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

// The file read so that nothing of it is lost, with the reader's records.
CueFile read_file(py::handle self, py::handle file_path) {
  CueFile file = host::guard([&] { return read_cue_file(self, file_path); },
                             [](py::error_already_set &error) -> CueFile {
                               host::error("解析字幕文件失败: " + host::message_of(error));
                               throw error;
                             });
  host::info("成功解析字幕文件，共" + std::to_string(file.cue_count) + "个字幕块");
  return file;
}

// What a file's review is made of: one record per block as Python data, and
// the usage of every reply the service sent (a cached reply cost nothing).
class FileReview {
 public:
  explicit operator bool() const { return static_cast<bool>(report_); }
  const py::object &report() const { return report_; }
  void open(py::object report) { report_ = std::move(report); }

  void count_usage(py::handle usage) {
    if (!usage.is_none()) usages_.append(usage);
  }

  void add_block(long long window, const pipeline::BlockFields &sent,
                 const pipeline::BlockRecord &record, const pipeline::BlockFields *reply_block,
                 const std::vector<std::string> &details) {
    py::dict entry;
    entry["index"] = host::text(sent.index);
    entry["start"] = host::text(sent.start_time);
    entry["end"] = host::text(sent.end_time);
    entry["window"] = window;
    entry["sent"] = host::text(sent.text);
    py::list flags;
    if (record.missing()) {
      entry["returned"] = py::none();
      entry["glossary"] = py::none();
      entry["final"] = host::text(sent.text);
      flags.append("missing");
    } else {
      entry["returned"] = host::text(record.returned);
      entry["glossary"] = host::text(record.after_glossary);
      entry["final"] = host::text(record.final_text);
      if (record.model_changed(sent)) flags.append("model");
      if (record.glossary_changed()) flags.append("glossary");
      if (record.commentary_removed()) flags.append("commentary");
      if (record.pair.timing_changed) flags.append("timing");
      if (record.follow_up) flags.append("follow_up");
    }
    entry["flags"] = flags;
    py::list entries;
    for (std::size_t d : record.glossary_entries) {
      const std::string &detail = details[d];
      std::size_t at = detail.find(kArrow);
      entries.append(py::make_tuple(host::text(detail.substr(0, at)),
                                    host::text(detail.substr(at + kArrow.size()))));
    }
    entry["glossary_entries"] = entries;
    entry["reply_timing"] =
        reply_block && record.pair.timing_changed
            ? py::object(py::make_tuple(host::text(reply_block->start_time),
                                        host::text(reply_block->end_time)))
            : py::object(py::none());
    blocks_.append(entry);
  }

  void hand_in(py::dict file) {
    file["blocks"] = blocks_;
    file["usages"] = usages_;
    report_.attr("add_file")(**file);
  }

 private:
  static constexpr std::string_view kArrow = " → ";
  py::object report_;
  py::list blocks_, usages_;
};

class FileCorrection {
 public:
  FileCorrection(py::object self, py::object file_path, py::object custom_window_size,
                 py::object start_window, py::object end_window)
      : self_(std::move(self)),
        file_path_(std::move(file_path)),
        custom_window_size_(std::move(custom_window_size)),
        start_window_(std::move(start_window)),
        end_window_(std::move(end_window)) {}

  bool run() {
    open_review();
    std::optional<RequestSettings> settings = request_settings(self_);
    if (!settings) return false;
    timeout_ = settings->timeout;
    retry_missing_ = host::truthy(host::get(self_.attr("config"), "retry_missing_blocks", py::bool_(false)));
    // Within a batch the batch's cache serves; a file on its own opens it.
    cache_ = cache_context().cache;
    if (!cache_) {
      own_cache_ = ReplyCache::configured(self_);
      cache_ = own_cache_.get();
    }
    py::object output_path = self_.attr("get_output_path")(file_path_);
    output_path_ = output_path;
    file_ = read_file(self_, file_path_);
    // A file with no cue at all is not a subtitle file: an unchanged copy
    // would count as a success.
    if (file_.cue_count == 0 && !file_.verbatim_lines.empty()) {
      host::error("未能从字幕文件中解析出任何字幕块: " + host::str_of(file_path_));
      return false;
    }
    if (!file_.verbatim_lines.empty()) {
      host::warning(std::to_string(file_.verbatim_lines.size()) + "个片段无法识别为字幕块，已原样保留 (行 " +
                    line_list(file_.verbatim_lines) + ")");
    }
    py::list subtitles = file_.subtitles;
    window_size_ = custom_window_size_.is_none() ? self_.attr("window_size") : custom_window_size_;
    window_size_text_ = host::str_of(window_size_);
    if (!valid_window_size(window_size_)) {
      host::error("窗口大小必须是正整数，当前值: " + window_size_text_);
      return false;
    }
    py::list corrected_subtitles;
    host::info("使用窗口大小: " + window_size_text_);
    open_comparison_log();

    block_count_ = static_cast<long long>(py::len(subtitles));
    size_ = effective_size(window_size_, block_count_);
    plan_ = pipeline::plan_windows(block_count_, size_, optional_bound(start_window_),
                                   optional_bound(end_window_));
    host::info("总窗口数: " + std::to_string(plan_.total_windows) + ", 处理窗口范围: " +
               std::to_string(plan_.start_idx + 1) + " 到 " + std::to_string(plan_.end_idx));
    // Within a batch the batch fetches ahead; a file corrected on its own
    // fetches its own windows ahead when several requests may be in flight.
    prefetch_ = batch_prefetch();
    if (!prefetch_ && settings->jobs > 1) {
      own_prefetch_.emplace(self_, window_requests(subtitles, block_count_, size_, plan_),
                            *settings, own_cache_);
      prefetch_ = &*own_prefetch_;
    }
    bool range_mode = !start_window_.is_none() || !end_window_.is_none();
    if (range_mode) {
      // A shallow copy: windows outside the range keep their input blocks.
      corrected_subtitles = py::reinterpret_steal<py::list>(PySequence_List(subtitles.ptr()));
      if (!corrected_subtitles) throw py::error_already_set();
    }

    for (long long window_idx = 0; window_idx < plan_.total_windows; ++window_idx) {
      long long first = window_idx * size_;
      py::list window = window_at(subtitles, window_idx, size_, block_count_);
      if (window_idx < plan_.start_idx || window_idx >= plan_.end_idx) {
        host::info("跳过窗口 " + std::to_string(window_idx + 1) + " (不在处理范围内)");
        continue;
      }
      std::string combined_text = request_text(window);
      host::debug("发送到API的原始文本:\n" + combined_text);
      std::optional<py::list> merged = correct_window(window_idx, window, combined_text);
      if (!merged) return false;  // the run stops; nothing is written
      place(corrected_subtitles, *merged, first, range_mode);
    }

    if (!host::truthy(write_cue_file(file_, corrected_subtitles, output_path))) return false;
    host::info("字幕文件处理成功: " + host::str_of(file_path_) + " -> " + host::str_of(output_path));
    if (log_.enabled()) host::info("详细对比日志已保存到: " + host::str_of(log_.path()));
    return true;
  }

  // The file's blocks so far go into the review report (the batch's, or a
  // report of this file alone, written now). Never raises: the review must
  // not change how the correction ended.
  void hand_in_review(bool corrected) {
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
          review_.hand_in(file);
          if (own_report_) write_review_report(review_.report());
        },
        [](py::error_already_set &error) {
          host::error("审阅报告写入失败: " + host::message_of(error));
        });
  }

  // The run-stopping error, once a window has failed.
  const std::optional<py::error_already_set> &stopped() const { return stopped_; }

 private:
  void open_review() {
    py::object report = batch_report();
    own_report_ = report.is_none();
    if (own_report_) report = open_review_report(self_);
    if (report.is_none()) return;
    started_ = global("datetime").attr("now")().attr("strftime")("%Y-%m-%d %H:%M:%S");
    review_.open(report);
  }

  void open_comparison_log() {
    py::object section = host::get(self_.attr("config"), "logging", py::dict());
    bool subtitle_logs = host::truthy(host::get(section, "enable_subtitle_logs", py::bool_(true)));
    detailed_ = host::truthy(host::get(section, "enable_detailed_logs", py::bool_(true)));
    if (!subtitle_logs) {
      host::info("日志记录已禁用");
      return;
    }
    py::object log_dir = host::get(section, "log_dir", py::str("subtitle_logs"));
    py::object path = global("os").attr("path");
    py::object module_dir = path.attr("dirname")(path.attr("abspath")(global("__file__")));
    log_dir = path.attr("join")(module_dir, log_dir);
    global("os").attr("makedirs")(log_dir, "exist_ok"_a = true);
    py::object timestamp = global("datetime").attr("now")().attr("strftime")("%Y%m%d_%H%M%S");
    std::optional<clog::RangeLine> range;
    if (!start_window_.is_none() || !end_window_.is_none()) {
      range = clog::RangeLine{start_window_.is_none() ? "1" : host::str_of(start_window_),
                              end_window_.is_none() ? "最后" : host::str_of(end_window_)};
    }
    py::object now = global("datetime").attr("now")().attr("strftime")("%Y-%m-%d %H:%M:%S");
    log_ = ComparisonLog::claim(
        log_dir, "subtitle_comparison_" + host::str_of(timestamp),
        clog::header(host::str_of(file_path_), host::str_of(now), window_size_text_, range));
    host::info("日志记录已启用，日志文件: " + host::str_of(log_.path()));
    host::info(std::string("详细API响应记录: ") + (detailed_ ? "已启用" : "已禁用"));
  }

  clog::WindowSpan span(long long window_idx) const {
    long long first = window_idx * size_;
    return {window_idx + 1, first + 1, std::min(first + size_, block_count_)};
  }

  // The window's guarded region: anything raised here stops the run.
  std::optional<py::list> correct_window(long long window_idx, py::list window,
                                         const std::string &combined_text) {
    return host::guard(
        [&]() -> std::optional<py::list> { return exchange(window_idx, window, combined_text); },
        [&](py::error_already_set &error) -> std::optional<py::list> {
          if (prefetch_) prefetch_->close();  // no request goes out after this
          if (!log_.write_failure().empty()) {
            // The file system failed, not the service: this file fails.
            host::error(log_.write_failure());
            return std::nullopt;
          }
          stop_run(window_idx, error);
          return std::nullopt;
        });
  }

  py::list exchange(long long window_idx, py::list window, const std::string &combined_text) {
    FetchedReply fetched = fetch_reply(window_idx, combined_text);
    py::object corrected_text = fetched.reply[py::int_(0)];
    host::debug("API返回的原始响应:\n" + host::str_of(corrected_text));
    std::vector<pipeline::BlockFields> sent = fields_of_all(window);
    ReplyBlocks main = reply_blocks(fetched, sent);

    std::vector<pipeline::PairedBlock> pairs =
        pipeline::merge_window(sent, main.fields, main.details);
    std::vector<bool> from_follow_up(sent.size(), false);
    ReplyBlocks extra;
    if (retry_missing_) {
      extra = ask_again(window_idx, window, sent, fetched, main, pairs, from_follow_up);
    }
    std::vector<pipeline::BlockRecord> records;
    for (std::size_t s = 0; s < sent.size(); ++s) {
      const ReplyBlocks &source = from_follow_up[s] ? extra : main;
      const pipeline::PairedBlock &pair = pairs[s];
      bool missing = pair.reply == pipeline::PairedBlock::kNone;
      records.push_back(pipeline::record_block(pair, missing ? nullptr : &source.fields[pair.reply],
                                               source.stage(s), source.details,
                                               from_follow_up[s]));
    }

    // What a fenced reply said outside its fence was removed with the
    // commentary; the block the reply ended with carries the mark.
    std::string prose = unfenced_prose(fetched.info);
    if (!prose.empty() && !main.fields.empty()) {
      for (std::size_t s = 0; s < sent.size(); ++s) {
        if (!from_follow_up[s] && pairs[s].reply == main.fields.size() - 1) {
          records[s].prose_removed = true;
        }
      }
    }

    if (log_.enabled()) {
      std::string opening = clog::window_opening(span(window_idx));
      if (detailed_) opening += clog::raw_reply(host::str_of(corrected_text));
      if (!prose.empty()) opening += clog::removed_prose(prose);
      log_.append(opening);
    }

    py::list merged, missing;
    for (std::size_t s = 0; s < sent.size(); ++s) {
      py::handle block = window[s];
      const pipeline::BlockRecord &record = records[s];
      const ReplyBlocks &source = record.follow_up ? extra : main;
      if (record.missing()) {
        merged.append(block);
        missing.append(field(block, "index"));
        log_.append(clog::kept_block(sent[s].index, sent[s].text));
      } else {
        const pipeline::BlockFields &reply_fields = source.fields[record.pair.reply];
        merged.append(with_reply_text(block, source.blocks[record.pair.reply]));
        if (!record.pair.renumbered_from.empty()) {
          host::warning("API修改了字幕块序号: 回复 #" + record.pair.renumbered_from +
                        " 对应原字幕块 #" + sent[s].index);
        }
        if (record.pair.timing_changed) {
          host::warning("API修改了字幕块 #" + sent[s].index + " 的时间轴 (" +
                        reply_fields.start_time + " --> " + reply_fields.end_time +
                        ")，已保留原始时间轴");
        }
        if (log_.enabled()) {
          std::vector<std::string> replacements;
          for (std::size_t d : record.pair.replacements) replacements.push_back(source.details[d]);
          log_.append(clog::used_block(sent[s].index, sent[s].text, reply_fields.text,
                                       replacements, record.follow_up));
        }
      }
      if (review_) {
        review_.add_block(window_idx + 1, sent[s], record,
                          record.missing() ? nullptr : &source.fields[record.pair.reply],
                          source.details);
      }
    }
    if (py::len(missing) > 0) {
      host::warning("API返回结果中缺少以下字幕块，已使用原始内容: " + host::str_of(py::repr(missing)));
    }
    return finish_window(window_idx, merged);
  }

  // A reply's blocks as the merge reads them, with the earlier stages of
  // their text when a review is kept.
  struct ReplyBlocks {
    py::list blocks;
    std::vector<pipeline::BlockFields> fields;
    std::vector<std::string> details;
    // By position in the window; empty unless reviewed.
    std::vector<pipeline::StageTexts> stages;

    pipeline::StageTexts stage(std::size_t s) const {
      return s < stages.size() ? stages[s] : pipeline::StageTexts{};
    }
  };

  // `window_positions`: where each block of `asked` sits in the window, when
  // the request held only some of its blocks.
  ReplyBlocks reply_blocks(const FetchedReply &fetched,
                           const std::vector<pipeline::BlockFields> &asked,
                           const std::vector<std::size_t> &window_positions = {},
                           std::size_t window_length = 0) {
    ReplyBlocks read;
    py::object corrected_text = fetched.reply[py::int_(0)];
    py::object replacement_details = fetched.reply[py::int_(1)];
    read.blocks = py::list(self_.attr("extract_blocks_from_text")(corrected_text));
    read.fields = fields_of_all(read.blocks);
    read.details = detail_texts(replacement_details);
    if (!review_) return read;
    review_.count_usage(fetched.info.usage);
    const ReplyInfo &info = fetched.info;
    std::vector<pipeline::StageTexts> stages;
    if (info.returned && info.after_glossary) {
      stages = pipeline::stage_texts(asked, host::str_of(info.returned),
                                     host::str_of(info.after_glossary));
    }
    if (window_positions.empty()) {
      read.stages = std::move(stages);
    } else {
      read.stages.resize(window_length);
      for (std::size_t k = 0; k < stages.size(); ++k) {
        read.stages[window_positions[k]] = std::move(stages[k]);
      }
    }
    return read;
  }

  // One follow-up request for the blocks the reply lacks, or whose reply
  // was cut off by the token limit (its last block may be cut short).
  // Blocks it brings back replace the gaps; the rest stay missing.
  ReplyBlocks ask_again(long long window_idx, py::list window,
                        const std::vector<pipeline::BlockFields> &sent, const FetchedReply &fetched,
                        const ReplyBlocks &main, std::vector<pipeline::PairedBlock> &pairs,
                        std::vector<bool> &from_follow_up) {
    bool cut_off = cut_off_at_limit(fetched.info) && !main.fields.empty();
    std::vector<std::size_t> lacking;
    for (std::size_t s = 0; s < pairs.size(); ++s) {
      if (cut_off && pairs[s].reply == main.fields.size() - 1) pairs[s] = {};
      if (pairs[s].reply == pipeline::PairedBlock::kNone) lacking.push_back(s);
    }
    if (lacking.empty()) return ReplyBlocks();
    py::list subset, indices;
    std::vector<pipeline::BlockFields> subset_fields;
    for (std::size_t s : lacking) {
      subset.append(window[s]);
      indices.append(field(window[s], "index"));
      subset_fields.push_back(sent[s]);
    }
    host::info("重新请求缺失的字幕块: " + host::str_of(py::repr(indices)));
    FetchedReply again = ask_directly(window_idx, request_text(subset));
    ReplyBlocks extra = reply_blocks(again, subset_fields, lacking, sent.size());
    std::vector<pipeline::PairedBlock> found =
        pipeline::merge_window(subset_fields, extra.fields, extra.details);
    // A follow-up cut off by the token limit is no more trusted than the
    // first reply was: its last block stays missing.
    bool again_cut_off = cut_off_at_limit(again.info) && !extra.fields.empty();
    for (std::size_t k = 0; k < lacking.size(); ++k) {
      if (found[k].reply == pipeline::PairedBlock::kNone) continue;
      if (again_cut_off && found[k].reply == extra.fields.size() - 1) continue;
      pairs[lacking[k]] = found[k];
      from_follow_up[lacking[k]] = true;
    }
    return extra;
  }

  // The client's reply to a window: fetched ahead when a prefetch planned
  // it, else asked for now.
  FetchedReply fetch_reply(long long window_idx, const std::string &combined_text) {
    if (prefetch_) {
      if (std::optional<FetchedReply> fetched = prefetch_->reply_for(combined_text)) {
        return *fetched;
      }
    }
    return ask_directly(window_idx, combined_text);
  }

  FetchedReply ask_directly(long long window_idx, const std::string &combined_text) {
    CacheScope scope(cache_, window_idx + 1);
    // While requests are fetched ahead, this one counts toward their limit.
    GateScope gate(prefetch_ ? &prefetch_->limit() : nullptr);
    return ask_client(self_, combined_text, timeout_);
  }

  py::list finish_window(long long window_idx, py::list merged) {
    std::string progress = pipeline::two_decimals(pipeline::range_progress(plan_, window_idx));
    host::progress("字幕校正进度: " + progress + "% (窗口 " + std::to_string(window_idx + 1) + "/" +
                       std::to_string(plan_.end_idx) + ")",
                   "window");
    log_.append(clog::window_closing());
    return merged;
  }

  void stop_run(long long window_idx, py::error_already_set &api_error) {
    std::string message = host::message_of(api_error);
    host::error("API调用失败: " + message);
    std::string type_name =
        host::str_of(py::type::handle_of(api_error.value()).attr("__name__"));
    log_.append(clog::error_section(span(window_idx), message, type_name));
    std::string error_message = "API调用失败，程序终止执行！错误信息: " + message;
    host::critical(error_message);
    log_.append(clog::termination_banner());
    // Chained, so a traceback shows why the run stopped.
    stopped_ = host::chained(PyExc_RuntimeError, error_message, api_error);
  }

  static void place(py::list &corrected, py::list merged, long long first, bool range_mode) {
    if (!range_mode) {
      for (py::handle block : merged) corrected.append(block);
      return;
    }
    long long length = static_cast<long long>(py::len(corrected));
    long long offset = 0;
    for (py::handle block : merged) {
      if (first + offset < length) corrected[py::int_(first + offset)] = block;
      ++offset;
    }
  }

  py::object self_, file_path_, custom_window_size_, start_window_, end_window_;
  CueFile file_;
  py::object window_size_;
  py::object output_path_ = py::none();
  FileReview review_;
  bool own_report_ = false;
  py::object started_ = py::none();
  std::string window_size_text_;
  long long block_count_ = 0;
  long long size_ = 1;
  pipeline::WindowPlan plan_;
  bool detailed_ = true;
  ComparisonLog log_;
  std::optional<py::error_already_set> stopped_;
  bool retry_missing_ = false;
  py::object timeout_;  // null: the client's default
  ReplyCache *cache_ = nullptr;
  std::shared_ptr<ReplyCache> own_cache_;
  Prefetch *prefetch_ = nullptr;
  std::optional<Prefetch> own_prefetch_;
};

}  // namespace

py::object process_subtitle_file(py::object self, py::object file_path,
                                 py::object custom_window_size, py::object start_window,
                                 py::object end_window) {
  FileCorrection correction(self, file_path, custom_window_size, start_window, end_window);
  py::object result = host::guard([&] { return py::bool_(correction.run()); },
                                  [](py::error_already_set &error) {
                                    host::error("字幕文件处理失败: " + host::message_of(error));
                                    return py::bool_(false);
                                  });
  correction.hand_in_review(host::truthy(result));
  // Raised past the general failure handler above.
  if (correction.stopped()) throw *correction.stopped();
  return result;
}

std::vector<PlannedRequest> planned_requests(py::handle self, py::handle file_path,
                                          py::handle custom_window_size, py::handle start_window,
                                          py::handle end_window) {
  return host::guard(
      [&] {
        py::list subtitles = read_cue_file(self, file_path, false).subtitles;
        py::object window_size =
            custom_window_size.is_none() ? self.attr("window_size")
                                         : py::reinterpret_borrow<py::object>(custom_window_size);
        if (!valid_window_size(window_size)) return std::vector<PlannedRequest>();
        long long block_count = static_cast<long long>(py::len(subtitles));
        long long size = effective_size(window_size, block_count);
        pipeline::WindowPlan plan = pipeline::plan_windows(
            block_count, size, optional_bound(start_window), optional_bound(end_window));
        return window_requests(subtitles, block_count, size, plan);
      },
      [](py::error_already_set &) { return std::vector<PlannedRequest>(); });
}

py::tuple dry_run_requests(py::object engine, py::object file_path) {
  CueFile file = read_cue_file(engine, file_path, false);
  py::object window_size = engine.attr("window_size");
  if (!valid_window_size(window_size)) {
    throw py::value_error("窗口大小必须是正整数，当前值: " + host::str_of(window_size));
  }
  long long block_count = static_cast<long long>(py::len(file.subtitles));
  long long size = effective_size(window_size, block_count);
  py::list texts;
  for (const PlannedRequest &request : window_requests(
           file.subtitles, block_count, size,
           pipeline::plan_windows(block_count, size, std::nullopt, std::nullopt))) {
    texts.append(host::text(request.text));
  }
  return py::make_tuple(block_count, texts);
}

}  // namespace brivane::bind
