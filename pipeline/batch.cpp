#include "pipeline/batch.h"

#include <algorithm>

#include "pipeline/windowing.h"

namespace brivane::pipeline {

BatchCourse::BatchCourse(long long files, Log &log) : files_(files), log_(log) {
  log_.info("开始处理字幕文件，共" + std::to_string(files_) + "个文件");
}

void BatchCourse::starting(std::string_view file_name) {
  log_.info("正在处理字幕文件: " + std::string(file_name));
}

void BatchCourse::finished(bool corrected) {
  if (corrected) ++succeeded_;
  ++processed_;
  double done = static_cast<double>(processed_) / static_cast<double>(files_) * 100;
  log_.info("文件处理进度: " + two_decimals(done) + "% (" + std::to_string(processed_) + "/" +
            std::to_string(files_) + ")");
}

void BatchCourse::summary() {
  log_.info("字幕文件处理完成，成功: " + std::to_string(succeeded_) +
            "，失败: " + std::to_string(processed_ - succeeded_));
}

namespace {

// "3, 17, 40": the first ten lines, then "…".
std::string line_list(const std::vector<std::size_t> &lines) {
  std::string listed;
  for (std::size_t k = 0; k < lines.size() && k < 10; ++k) {
    if (k) listed += ", ";
    listed += std::to_string(lines[k]);
  }
  if (lines.size() > 10) listed += ", …";
  return listed;
}

// Where a name's extension starts, as `os.path.splitext` splits it: the
// last dot, unless only dots precede it.
std::size_t extension_start(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return name.size();
  if (name.find_first_not_of('.') >= dot) return name.size();
  return dot;
}

}  // namespace

std::optional<std::string> check_read_file(std::size_t cue_count,
                                           const std::vector<std::size_t> &verbatim_lines,
                                           std::string_view file_name, Log &log) {
  if (cue_count == 0 && !verbatim_lines.empty()) {
    return "未能从字幕文件中解析出任何字幕块: " + std::string(file_name);
  }
  if (!verbatim_lines.empty()) {
    log.warning(std::to_string(verbatim_lines.size()) + "个片段无法识别为字幕块，已原样保留 (行 " +
                line_list(verbatim_lines) + ")");
  }
  return std::nullopt;
}

std::vector<std::string> archive_names(const std::vector<std::string> &names) {
  std::vector<std::string> shown;
  for (const std::string &name : names) {
    std::string candidate = name;
    std::size_t ext = extension_start(name);
    for (int n = 2; std::find(shown.begin(), shown.end(), candidate) != shown.end(); ++n) {
      candidate = name.substr(0, ext) + "_" + std::to_string(n) + name.substr(ext);
    }
    shown.push_back(std::move(candidate));
  }
  return shown;
}

}  // namespace brivane::pipeline
