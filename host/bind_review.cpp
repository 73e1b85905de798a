#include "host/review.h"

#include "host/host.h"
#include "host/settings.h"

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
