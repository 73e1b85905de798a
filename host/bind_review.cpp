#include "host/review.h"

#include "host/host.h"
#include "host/settings.h"

namespace brivane::bind {
namespace {
// Borrowed: the batch holds the report for as long as its scope lasts.
thread_local PyObject *t_report = nullptr;
}  // namespace

py::object open_review_report(py::handle self) {
  if (!settings::flag(self.attr("config"), "review_report")) {
    return py::none();
  }
  py::object review = host::global("importlib").attr("import_module")("brivane.review");
  py::cpp_function redact([](py::str text) -> py::str {
    return host::text(host::redact(host::utf8(text)));
  });
  // The module's own clock, looked up when used, as the engine's records do.
  py::cpp_function now([] {
    return host::global("datetime").attr("now")().attr("strftime")("%Y-%m-%d %H:%M:%S");
  });
  return review.attr("Report")(self, redact, now);
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

py::object batch_report() {
  return t_report ? py::reinterpret_borrow<py::object>(t_report) : py::none();
}

BatchReportScope::BatchReportScope(py::handle report)
    : previous_(t_report) {
  t_report = report.is_none() ? nullptr : report.ptr();
}
BatchReportScope::~BatchReportScope() { t_report = previous_; }

}  // namespace brivane::bind
