// The review sink of one file's correction: one record per block as Python
// data, and the usage of every reply the service sent.
#pragma once
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "pipeline/file_correction.h"

namespace brivane::bind {
namespace py = pybind11;

class FileReview final : public pipeline::ReviewSink {
 public:
  explicit operator bool() const { return static_cast<bool>(report_); }
  const py::object &report() const { return report_; }
  void open(py::object report) { report_ = std::move(report); }

  // A cached reply cost nothing: its usage is None.
  void count_usage(py::handle usage);
  void add_block(long long window, const pipeline::BlockFields &sent,
                 const pipeline::BlockRecord &record, const pipeline::BlockFields *reply_block,
                 const std::vector<std::string> &details) override;
  // The blocks so far go into the report, with `file`'s fields.
  void hand_in(py::dict file);

 private:
  py::object report_;
  py::list blocks_, usages_;
};

}  // namespace brivane::bind
