// The review report: a page per file, an index and changes.json under
// <output>/review, rendered by the package's `brivane.review` module from the
// block records the file correction hands over.
#pragma once
#include <pybind11/pybind11.h>

namespace brivane::bind {
namespace py = pybind11;

// A new, empty report when `review_report` is on, else None.
py::object open_review_report(py::handle self);

// Writes the report's files and logs the usage of the replies it counted.
// A failure is logged; it never fails the batch, whose outputs are written.
void write_review_report(py::handle report);

// The batch's report on this thread while a batch runs, else None.
py::object batch_report();
class BatchReportScope {
 public:
  explicit BatchReportScope(py::handle report);
  ~BatchReportScope();
  BatchReportScope(const BatchReportScope &) = delete;
  BatchReportScope &operator=(const BatchReportScope &) = delete;

 private:
  PyObject *previous_;
};

}  // namespace brivane::bind
