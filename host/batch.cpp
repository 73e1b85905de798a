// The batch over the input directory, the daily backup archive, and `main`.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>
#include <utility>

#include "host/client.h"
#include "host/engine.h"
#include "host/file_correction.h"
#include "host/host.h"
#include "host/settings.h"
#include "pipeline/batch.h"

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
  std::vector<py::object> files;
  std::vector<std::string> names;
  auto add = [&](py::object file, py::handle name) {
    files.push_back(std::move(file));
    names.push_back(host::str_of(name));
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
    for (py::handle full : glossary_paths(self, glossaries)) {
      if (host::truthy(path.attr("isfile")(full))) {
        add(py::reinterpret_borrow<py::object>(full), path.attr("basename")(full));
      }
    }
  }
  std::vector<std::string> shown = pipeline::archive_names(names);
  std::vector<std::pair<py::object, py::object>> named;
  for (std::size_t k = 0; k < files.size(); ++k) named.emplace_back(files[k], host::text(shown[k]));
  return named;
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

py::object process_all_files(py::object self, py::object progress) {
  // The report covers whatever the batch got through, a stopped batch too.
  py::object report = py::none();
  auto tell = [&](const char *event, py::dict data) {
    if (!progress.is_none()) progress(event, data);
  };
  py::object completed = py::bool_(host::guard(
      [&] {
        std::optional<RequestSettings> settings = request_settings(self);
        if (!settings) return false;
        self.attr("backup_files")();
        py::object pattern =
            global("os").attr("path").attr("join")(self.attr("input_dir"), self.attr("file_pattern"));
        // Sorted: the batch and its records follow the same order everywhere.
        py::object files = global("sorted")(global("glob").attr("glob")(pattern));
        // The engine's own file correction is handed what the batch shares:
        // its cache, its report, each file as the batch read it to plan it
        // and, with several requests in flight, every window of the batch
        // fetched ahead in batch order (short files gain as much as long
        // ones; files are still merged and written one after another). A
        // correction a caller put in its place is called as the batch
        // always calls it, and each file it delegates to the engine stands
        // on its own.
        bool own_correction = method::is_defined(self, "process_subtitle_file");
        std::shared_ptr<ReplyCache> cache = own_correction ? ReplyCache::configured(self) : nullptr;
        BatchShare share{cache.get(), nullptr, py::none(), progress, {}, {}};
        std::optional<Prefetch> prefetch;
        long long windows = 0;
        if (own_correction && (settings->jobs > 1 || !progress.is_none())) {
          std::vector<PlannedRequest> requests;
          for (py::handle file_path : files) {
            std::optional<PlannedFile> planned = plan_file(self, file_path);
            if (!planned) continue;  // its correction reports why
            windows += static_cast<long long>(planned->requests.size());
            for (PlannedRequest &request : planned->requests) requests.push_back(std::move(request));
            share.read.emplace(host::str_of(file_path), std::move(planned->file));
          }
          if (settings->jobs > 1) {
            prefetch.emplace(self, std::move(requests), *settings, cache);
            share.prefetch = &*prefetch;
          }
        }
        if (own_correction) report = share.report = open_review_report(self);
        long long total_files = static_cast<long long>(py::len(files));
        tell("batch", py::dict("files"_a = total_files, "windows"_a = windows));
        HostLog records;
        pipeline::BatchCourse course(total_files, records);
        for (py::handle file_path : files) {
          py::object file_name = global("os").attr("path").attr("basename")(file_path);
          course.starting(host::str_of(file_name));
          py::object file = py::reinterpret_borrow<py::object>(file_path);
          py::object none = py::none();
          share.reason.clear();
          bool corrected = host::truthy(own_correction
                                            ? correct_file(self, file, none, none, none, &share)
                                            : self.attr("process_subtitle_file")(file));
          course.finished(corrected);
          tell("file", py::dict("file"_a = file, "corrected"_a = corrected,
                                "reason"_a = corrected || share.reason.empty()
                                                 ? py::object(py::none())
                                                 : py::object(host::text(share.reason))));
        }
        course.summary();
        if (prefetch && settings->find_limit) {
          host::info("并发请求数峰值: " + std::to_string(prefetch->limit().peak()) + "（" +
                     std::to_string(prefetch->threads()) + " 个线程）");
        }
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
