// The batch over the input directory, the daily backup archive, and `main`.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>
#include <utility>

#include "host/bindings.h"
#include "host/host.h"
#include "host/settings.h"
#include "host/prefetch.h"
#include "host/review.h"
#include "pipeline/windowing.h"

namespace brivane::bind {
namespace {
using host::global;
using namespace pybind11::literals;

bool ends_with_srt(py::handle name) {
  return host::truthy(name.attr("lower")().attr("endswith")(".srt"));
}

// The environment value, or `fallback` when unset or empty.
py::object environment(const char *name, py::object fallback) {
  py::object value = global("os").attr("environ").attr("get")(name);
  return host::truthy(value) ? value : fallback;
}

// The configuration and glossary files of this run, with their names in the
// archive: the library file and config.json of the working folder when both
// are there; else the files actually read, from where they were read; and
// every glossary file the configuration names.
std::vector<std::pair<py::object, py::object>> files_in_use(py::handle self) {
  py::object path = global("os").attr("path");
  py::object module_dir = path.attr("dirname")(global("__file__"));
  std::vector<std::pair<py::object, py::object>> files;
  std::vector<std::string> names;
  auto add = [&](py::object file, py::object name) {
    // Two files of one name keep both: the later gets a number.
    std::string wanted = host::str_of(name), shown = wanted;
    for (int n = 2; std::find(names.begin(), names.end(), shown) != names.end(); ++n) {
      py::object parts = path.attr("splitext")(name);
      shown = host::str_of(parts[py::int_(0)]) + "_" + std::to_string(n) +
              host::str_of(parts[py::int_(1)]);
    }
    names.push_back(shown);
    files.emplace_back(std::move(file), host::text(shown));
  };
  // The working folder's pair stands for the run only when both are there;
  // half of it beside the files actually read could restore a glossary or a
  // configuration the run never used.
  py::object terms_file = self.attr("error_terms_file");
  py::object config_file = py::getattr(self, "config_file", py::none());
  if (host::truthy(path.attr("isfile")(terms_file)) && host::truthy(path.attr("isfile")("config.json"))) {
    add(terms_file, path.attr("basename")(terms_file));
    add(py::str("config.json"), py::str("config.json"));
  } else {
    add(path.attr("join")(module_dir, "error_terms_library.json"), py::str("error_terms_library.json"));
    if (!config_file.is_none() && host::truthy(path.attr("isfile")(config_file))) {
      add(config_file, path.attr("basename")(config_file));
    }
  }
  py::object glossaries = settings::value(self.attr("config"), "glossary_files");
  if (PyList_Check(glossaries.ptr())) {
    py::object folder = py::getattr(self, "config_dir", py::none());
    for (py::handle file : glossaries) {
      py::object full = folder.is_none() ? py::reinterpret_borrow<py::object>(file)
                                         : path.attr("join")(folder, file);
      if (host::truthy(path.attr("isfile")(full))) add(full, path.attr("basename")(full));
    }
  }
  return files;
}

}  // namespace

py::object backup_files(py::object self) {
  return py::bool_(host::guard(
      [&] {
        py::object path = global("os").attr("path");
        py::object date = global("datetime").attr("now")().attr("strftime")("%Y-%m-%d");
        // A later run of the day keeps the earlier runs' archives.
        std::pair<py::object, py::object> created = host::claim_name(
            self.attr("backup_dir"), "brivane_backup_" + host::str_of(date), ".zip",
            [](py::handle path) { return global("zipfile").attr("ZipFile")(path, "x"); });
        py::object backup_path = created.first;
        host::with(created.second, [&](py::handle archive) {
          py::object input_dir = self.attr("input_dir");
          py::object parent = path.attr("dirname")(input_dir);
          // Sorted, so the archive lists the same inputs in the same order
          // on every file system.
          for (py::handle entry : global("os").attr("walk")(input_dir)) {
            py::object root = entry[py::int_(0)];
            entry[py::int_(1)].attr("sort")();
            for (py::handle file_name : global("sorted")(entry[py::int_(2)])) {
              if (!ends_with_srt(file_name)) continue;
              py::object file_path = path.attr("join")(root, file_name);
              archive.attr("write")(file_path, path.attr("relpath")(file_path, parent));
            }
          }
          for (auto &[file, name] : files_in_use(self)) archive.attr("write")(file, name);
        });
        host::info("文件备份成功: " + host::str_of(backup_path));
        return true;
      },
      [](py::error_already_set &error) {
        host::error("文件备份失败: " + host::message_of(error));
        return false;
      }));
}

py::object process_all_files(py::object self) {
  // The report covers whatever the batch got through, a stopped batch too.
  py::object report = py::none();
  py::object completed = py::bool_(host::guard(
      [&] {
        std::optional<RequestSettings> settings = request_settings(self);
        if (!settings) return false;
        self.attr("backup_files")();
        py::object pattern =
            global("os").attr("path").attr("join")(self.attr("input_dir"), self.attr("file_pattern"));
        // Sorted: the batch and its records follow the same order everywhere.
        py::object files = global("sorted")(global("glob").attr("glob")(pattern));
        // With several requests in flight, every window of the batch is
        // fetched ahead in batch order, so short files gain as much as long
        // ones; the files are still merged and written one after another.
        std::shared_ptr<ReplyCache> cache = ReplyCache::configured(self);
        CacheScope cache_scope(cache.get(), 0);
        std::optional<Prefetch> prefetch;
        if (settings->jobs > 1) {
          std::vector<PlannedRequest> requests;
          for (py::handle file_path : files) {
            for (PlannedRequest &request :
                 planned_requests(self, file_path, py::none(), py::none(), py::none())) {
              requests.push_back(std::move(request));
            }
          }
          prefetch.emplace(self, std::move(requests), *settings, cache);
        }
        BatchPrefetchScope scope(prefetch ? &*prefetch : nullptr);
        report = open_review_report(self);
        BatchReportScope report_scope(report);
        long long total_files = static_cast<long long>(py::len(files));
        long long processed_files = 0, success_files = 0;
        host::info("开始处理字幕文件，共" + std::to_string(total_files) + "个文件");
        for (py::handle file_path : files) {
          py::object file_name = global("os").attr("path").attr("basename")(file_path);
          host::info("正在处理字幕文件: " + host::str_of(file_name));
          if (host::truthy(self.attr("process_subtitle_file")(file_path))) ++success_files;
          ++processed_files;
          double progress = static_cast<double>(processed_files) / total_files * 100;
          host::progress("文件处理进度: " + pipeline::two_decimals(progress) + "% (" +
                     std::to_string(processed_files) + "/" + std::to_string(total_files) + ")", "file");
        }
        host::info("字幕文件处理完成，成功: " + std::to_string(success_files) +
                   "，失败: " + std::to_string(processed_files - success_files));
        return true;
      },
      [](py::error_already_set &error) {
        host::error("处理字幕文件时发生错误: " + host::message_of(error));
        return false;
      }));
  if (!report.is_none()) write_review_report(report);
  return completed;
}

void main() {
  host::guard(
      [] {
        host::info("医学视频字幕校对系统启动");
        py::object api_key = environment("DEEPSEEK_API_KEY", py::none());
        if (api_key.is_none()) {
          throw py::value_error("未设置API密钥：请设置环境变量 DEEPSEEK_API_KEY");
        }
        py::object engine = global("Brivane")(api_key, environment("BRIVANE_INPUT_DIR", py::str("input")),
                                              environment("BRIVANE_OUTPUT_DIR", py::str("output")));
        engine.attr("process_all_files")();
        host::info("医学视频字幕校对系统结束");
      },
      [](py::error_already_set &error) { host::error("程序运行异常: " + host::message_of(error)); });
}

}  // namespace brivane::bind
