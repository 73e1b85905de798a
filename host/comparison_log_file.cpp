#include "host/comparison_log_file.h"

#include <optional>

#include "host/host.h"
#include "host/settings.h"
#include "pipeline/comparison_log.h"

namespace brivane::bind {
using host::global;
using namespace pybind11::literals;
namespace clog = pipeline::comparison_log;

ComparisonLogFile ComparisonLogFile::claim(py::handle log_dir, const std::string &stem,
                                           const std::string &header) {
  std::pair<py::object, py::object> claimed =
      host::claim_name(log_dir, stem, ".log", [](py::handle candidate) {
        return global("open")(candidate, "x", "encoding"_a = "utf-8");
      });
  ComparisonLogFile log;
  log.path_ = claimed.first;
  py::object stream = claimed.second;
  host::with(stream, [&] { stream.attr("write")(host::text(host::redact(header))); });
  return log;
}

void ComparisonLogFile::append(const std::string &text) {
  if (!enabled()) return;
  try {
    py::object stream = global("open")(path_, "a", "encoding"_a = "utf-8");
    host::with(stream, [&] { stream.attr("write")(host::text(host::redact(text))); });
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
      clog::header(host::str_of(file_path), host::str_of(now), window_size, range));
  host::info("日志记录已启用，日志文件: " + host::str_of(log.path()));
  host::info(std::string("详细API响应记录: ") + (detailed ? "已启用" : "已禁用"));
  return log;
}

}  // namespace brivane::bind
