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

}  // namespace brivane::bind
