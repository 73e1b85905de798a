// The requests a file's correction will send, known before it runs: for
// the batch's plan and prefetch, and the command line's dry run.
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "host/bindings.h"
#include "host/file_ports.h"
#include "host/host.h"
#include "host/prefetch.h"
#include "host/window_arguments.h"
#include "pipeline/file_correction.h"

namespace brivane::bind {

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

namespace {

// The windows' request texts a plan makes of a file already read.
struct FileRequests {
  long long block_count = 0;
  std::vector<PlannedRequest> requests;
};
std::optional<FileRequests> file_requests(const CueFile &file, py::handle window_size,
                                          py::handle start_window, py::handle end_window) {
  if (!valid_window_size(window_size)) return std::nullopt;
  std::vector<pipeline::BlockFields> cues = fields_of_all(file.subtitles);
  FileRequests planned{static_cast<long long>(cues.size()), {}};
  long long size = pipeline::effective_window_size(saturated(window_size), planned.block_count);
  pipeline::WindowPlan plan = pipeline::plan_windows(
      planned.block_count, size, optional_bound(start_window), optional_bound(end_window));
  long long window = plan.start_idx;
  for (std::string &text : pipeline::window_requests(cues, size, plan)) {
    planned.requests.push_back({std::move(text), ++window});
  }
  return planned;
}

}  // namespace

std::optional<PlannedFile> plan_file(py::handle self, py::handle file_path) {
  return host::guard(
      [&]() -> std::optional<PlannedFile> {
        PlannedFile planned{read_cue_file(self, file_path, false), {}};
        std::optional<FileRequests> requests =
            file_requests(planned.file, self.attr("window_size"), py::none(), py::none());
        if (requests) planned.requests = std::move(requests->requests);
        return planned;
      },
      [](py::error_already_set &) -> std::optional<PlannedFile> { return std::nullopt; });
}

py::tuple dry_run_requests(py::object engine, py::object file_path) {
  py::object window_size = engine.attr("window_size");
  std::optional<FileRequests> planned =
      file_requests(read_cue_file(engine, file_path, false), window_size, py::none(), py::none());
  if (!planned) {
    throw py::value_error("窗口大小必须是正整数，当前值: " + host::str_of(window_size));
  }
  py::list texts;
  for (const PlannedRequest &request : planned->requests) texts.append(host::text(request.text));
  return py::make_tuple(planned->block_count, texts);
}

}  // namespace brivane::bind
