#include "pipeline/file_correction.h"

#include <algorithm>

#include "text/matchers.h"

namespace brivane::pipeline {
namespace clog = comparison_log;

namespace {

void append_request_block(std::string &text, const text::Subtitle &block) {
  text += block.index;
  text += "\n";
  text += block.start_time;
  text += " --> ";
  text += block.end_time;
  text += "\n";
  text += block.text;
  text += "\n\n";
}

}  // namespace

std::string request_text(const std::vector<text::Subtitle> &cues, std::size_t first,
                         std::size_t last) {
  std::string text;
  for (std::size_t k = first; k < last && k < cues.size(); ++k) append_request_block(text, cues[k]);
  return text;
}

long long effective_window_size(long long window_size, long long block_count) {
  return std::min(window_size, std::max(block_count, 1LL));
}

std::vector<PlannedRequest> window_requests(const std::vector<text::Subtitle> &cues,
                                            long long window_size, const WindowPlan &plan) {
  std::vector<PlannedRequest> requests;
  for (long long w = plan.start_idx; w < plan.end_idx; ++w) {
    std::size_t first = static_cast<std::size_t>(w * window_size);
    requests.push_back(
        {request_text(cues, first, first + static_cast<std::size_t>(window_size)), w + 1});
  }
  return requests;
}

FileCorrection::FileCorrection(const std::vector<text::Subtitle> &cues, CorrectionOptions options,
                               Ports ports)
    : cues_(cues), options_(std::move(options)), ports_(ports) {
  plan_ = plan_windows(static_cast<long long>(cues_.size()), options_.window_size,
                       options_.start_window, options_.end_window);
}

void FileCorrection::announce_plan() {
  ports_.log.info("总窗口数: " + std::to_string(plan_.total_windows) + ", 处理窗口范围: " +
                  std::to_string(plan_.start_idx + 1) + " 到 " + std::to_string(plan_.end_idx));
}

std::size_t FileCorrection::first_cue(long long window_idx) const {
  return static_cast<std::size_t>(window_idx * options_.window_size);
}

std::size_t FileCorrection::window_end(long long window_idx) const {
  return std::min(first_cue(window_idx) + static_cast<std::size_t>(options_.window_size),
                  cues_.size());
}

clog::WindowSpan FileCorrection::span(long long window_idx) const {
  return {window_idx + 1, static_cast<long long>(first_cue(window_idx)) + 1,
          static_cast<long long>(window_end(window_idx))};
}

void FileCorrection::append(const std::string &text) {
  if (ports_.comparison_log) pending_log_ += text;
}

void FileCorrection::write_log() {
  if (!ports_.comparison_log || pending_log_.empty()) return;
  std::string text = std::move(pending_log_);
  pending_log_.clear();
  ports_.comparison_log->append(text);
}

bool FileCorrection::run() {
  for (long long window_idx = 0; window_idx < plan_.total_windows; ++window_idx) {
    if (window_idx < plan_.start_idx || window_idx >= plan_.end_idx) {
      ports_.log.info("跳过窗口 " + std::to_string(window_idx + 1) + " (不在处理范围内)");
      continue;
    }
    std::string request = request_text(cues_, first_cue(window_idx), window_end(window_idx));
    ports_.log.debug("发送到API的原始文本:\n" + request);
    if (!correct_window(window_idx, request)) return false;  // nothing is written
  }
  return true;
}

// The window's guarded region: anything raised here stops the run.
bool FileCorrection::correct_window(long long window_idx, const std::string &request) {
  try {
    exchange(window_idx, request);
    return true;
  } catch (...) {
    Failure failure = ports_.failures.describe(std::current_exception());
    ports_.transport.close();  // no request goes out after this
    if (ports_.comparison_log && ports_.comparison_log->write_failure().empty()) {
      // The entries gathered before the failure go in ahead of its section.
      try {
        write_log();
      } catch (...) {
      }
    }
    if (ports_.comparison_log && !ports_.comparison_log->write_failure().empty()) {
      // The file system failed, not the service: this file fails.
      ports_.log.error(ports_.comparison_log->write_failure());
      return false;
    }
    stop_run(window_idx, failure);
    return false;
  }
}

void FileCorrection::exchange(long long window_idx, const std::string &request) {
  std::size_t first = first_cue(window_idx);
  std::vector<text::Subtitle> sent(cues_.begin() + static_cast<std::ptrdiff_t>(first),
                                cues_.begin() + static_cast<std::ptrdiff_t>(window_end(window_idx)));
  Reply main = ports_.transport.send(window_idx + 1, request, false);
  ports_.log.debug("API返回的原始响应:\n" + main.text);
  ports_.transport.read_blocks(main);
  std::vector<StageTexts> main_stages;
  if (ports_.review && main.returned && main.after_glossary) {
    main_stages = stage_texts(sent, *main.returned, *main.after_glossary);
  }

  std::vector<PairedBlock> pairs = merge_window(sent, main.blocks, main.details);
  // A reply that did not finish may stop inside its last block: that block
  // is not trusted, whatever else follows.
  if ((main.cut_off || main.filtered) && !main.blocks.empty()) {
    for (PairedBlock &pair : pairs) {
      if (pair.reply == main.blocks.size() - 1) pair = {};
    }
  }
  std::vector<bool> from_follow_up(sent.size(), false);
  Reply extra;
  std::vector<StageTexts> extra_stages;
  bool filtered = main.filtered;
  if (options_.retry_missing && !main.filtered) {
    std::vector<std::size_t> lacking;
    for (std::size_t s = 0; s < pairs.size(); ++s) {
      if (pairs[s].reply == PairedBlock::kNone) lacking.push_back(s);
    }
    if (!lacking.empty()) {
      extra = ask_again(window_idx, sent, lacking, pairs, from_follow_up, extra_stages);
      filtered = extra.filtered;
    }
  }
  auto stage = [](const std::vector<StageTexts> &stages, std::size_t s) {
    return s < stages.size() ? stages[s] : StageTexts{};
  };
  std::vector<BlockRecord> records;
  for (std::size_t s = 0; s < sent.size(); ++s) {
    const Reply &source = from_follow_up[s] ? extra : main;
    const PairedBlock &pair = pairs[s];
    bool missing = pair.reply == PairedBlock::kNone;
    records.push_back(record_block(pair, missing ? nullptr : &source.blocks[pair.reply],
                                   stage(from_follow_up[s] ? extra_stages : main_stages, s),
                                   source.details, from_follow_up[s]));
    records.back().filtered = filtered && missing;
    if (!missing && (ports_.review || options_.risk_log) && records.back().final_text != sent[s].text) {
      records.back().risks = text::medical_risks(sent[s].text, records.back().final_text);
    }
  }

  // What a fenced reply said outside its fence was removed with the
  // commentary; the block the reply ended with carries the mark.
  std::string prose =
      main.after_glossary ? text::match::unfenced_prose(*main.after_glossary) : std::string();
  if (!prose.empty() && !main.blocks.empty()) {
    for (std::size_t s = 0; s < sent.size(); ++s) {
      if (!from_follow_up[s] && pairs[s].reply == main.blocks.size() - 1) {
        records[s].prose_removed = true;
      }
    }
  }

  if (ports_.comparison_log) {
    std::string opening = clog::window_opening(span(window_idx));
    if (options_.detailed_log) opening += clog::raw_reply(main.text);
    if (!prose.empty()) opening += clog::removed_prose(prose);
    append(opening);
  }

  std::vector<CueSource> sources(sent.size());
  std::vector<std::string> missing;
  for (std::size_t s = 0; s < sent.size(); ++s) {
    const BlockRecord &record = records[s];
    const Reply &source = record.follow_up ? extra : main;
    const text::Subtitle *reply_block = record.missing() ? nullptr : &source.blocks[record.pair.reply];
    if (!reply_block) {
      missing.push_back(sent[s].index);
      append(clog::kept_block(sent[s].index, sent[s].text));
    } else {
      sources[s] = {source.id, record.pair.reply};
      if (!record.pair.renumbered_from.empty()) {
        ports_.log.warning("API修改了字幕块序号: 回复 #" + record.pair.renumbered_from +
                           " 对应原字幕块 #" + sent[s].index);
      }
      if (record.pair.timing_changed) {
        ports_.log.warning("API修改了字幕块 #" + sent[s].index + " 的时间轴 (" +
                           reply_block->start_time + " --> " + reply_block->end_time +
                           ")，已保留原始时间轴");
      }
      if (ports_.comparison_log) {
        std::vector<std::string> replacements;
        for (std::size_t d : record.pair.replacements) replacements.push_back(source.details[d]);
        std::vector<std::string> risks;
        if (options_.risk_log) {
          for (const text::Risk &risk : record.risks) risks.push_back(text::risk_label(risk));
        }
        append(clog::used_block(sent[s].index, sent[s].text, reply_block->text, replacements,
                                record.follow_up, risks));
      }
    }
    if (ports_.review) {
      ports_.review->add_block(window_idx + 1, sent[s], record, reply_block, source.details);
    }
  }
  if (filtered) {
    ports_.log.warning("内容审核拦截 (content_filter)：窗口 " + std::to_string(window_idx + 1) +
                       " 的 " + std::to_string(missing.size()) + " 个字幕块保留原文");
  }
  if (!missing.empty()) {
    ports_.log.warning("API返回结果中缺少以下字幕块，已使用原始内容: " +
                       ports_.log.quote_list(missing));
  }
  std::string progress = two_decimals(range_progress(plan_, window_idx));
  ports_.log.progress("字幕校正进度: " + progress + "% (窗口 " + std::to_string(window_idx + 1) +
                          "/" + std::to_string(plan_.end_idx) + ")",
                      window_idx + 1 - plan_.start_idx, plan_.end_idx - plan_.start_idx);
  append(clog::window_closing());
  write_log();
  ports_.outcome.window_done(first, sources);
}

// One follow-up request for the blocks the reply lacks, or whose reply was
// cut off by the token limit. Blocks it brings back fill the gaps; the rest
// stay missing.
Reply FileCorrection::ask_again(long long window_idx, const std::vector<text::Subtitle> &sent,
                                const std::vector<std::size_t> &lacking,
                                std::vector<PairedBlock> &pairs, std::vector<bool> &from_follow_up,
                                std::vector<StageTexts> &stages) {
  std::vector<text::Subtitle> asked;
  std::vector<std::string> indexes;
  for (std::size_t s : lacking) {
    asked.push_back(sent[s]);
    indexes.push_back(sent[s].index);
  }
  ports_.log.info("重新请求缺失的字幕块: " + ports_.log.quote_list(indexes));
  Reply again = ports_.transport.send(window_idx + 1, request_text(asked, 0, asked.size()), true);
  ports_.transport.read_blocks(again);
  if (ports_.review && again.returned && again.after_glossary) {
    std::vector<StageTexts> found_stages =
        stage_texts(asked, *again.returned, *again.after_glossary);
    stages.resize(sent.size());
    for (std::size_t k = 0; k < found_stages.size(); ++k) {
      stages[lacking[k]] = std::move(found_stages[k]);
    }
  }
  std::vector<PairedBlock> found = merge_window(asked, again.blocks, again.details);
  // A follow-up that did not finish is no more trusted than the first reply
  // was: its last block stays missing.
  bool again_cut_off = (again.cut_off || again.filtered) && !again.blocks.empty();
  for (std::size_t k = 0; k < lacking.size(); ++k) {
    if (found[k].reply == PairedBlock::kNone) continue;
    if (again_cut_off && found[k].reply == again.blocks.size() - 1) continue;
    pairs[lacking[k]] = found[k];
    from_follow_up[lacking[k]] = true;
  }
  return again;
}

void FileCorrection::stop_run(long long window_idx, const Failure &failure) {
  ports_.log.error("API调用失败: " + failure.message);
  append(clog::error_section(span(window_idx), failure.message, failure.type_name));
  std::string error_message = "API调用失败，程序终止执行！错误信息: " + failure.message;
  ports_.log.critical(error_message);
  append(clog::termination_banner());
  write_log();
  ports_.failures.stop(error_message);
}

}  // namespace brivane::pipeline
