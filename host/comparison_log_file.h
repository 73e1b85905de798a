// The comparison log's file: claimed under a name of its own, opened and
// closed per write group, every group redacted of the key.
#pragma once
#include <pybind11/pybind11.h>

#include <string>

#include "pipeline/file_correction.h"

namespace brivane::bind {
namespace py = pybind11;

class ComparisonLogFile final : public pipeline::ComparisonLogSink {
 public:
  bool enabled() const { return static_cast<bool>(path_); }
  const py::object &path() const { return path_; }

  // Files corrected within the same second would share one name; each file
  // claims its own, so no two runs, threads or processes write into one log.
  static ComparisonLogFile claim(py::handle log_dir, const std::string &stem,
                                 const std::string &header);

  void append(const std::string &text) override;
  // "写入失败: ..." when the file system refused the last write.
  const std::string &write_failure() const override { return failure_; }

 private:
  py::object path_;
  std::string failure_;
};

// The `logging` section's comparison log for `file_path`, its header written,
// with the records saying so; disabled (and recorded so) when switched off.
// `detailed`: whether each reply goes in.
ComparisonLogFile open_comparison_log(py::handle self, py::handle file_path,
                                      const std::string &window_size, py::handle start_window,
                                      py::handle end_window, bool &detailed);

}  // namespace brivane::bind
