#include "host/cache.h"

#include "host/host.h"
#include "host/settings.h"

namespace brivane::bind {
namespace {
using host::global;
using namespace pybind11::literals;

constexpr const char *kSchema =
    "CREATE TABLE IF NOT EXISTS replies ("
    " key TEXT PRIMARY KEY, content TEXT NOT NULL, finish_reason TEXT,"
    " usage TEXT, stored_at TEXT NOT NULL)";

}  // namespace

std::shared_ptr<ReplyCache> ReplyCache::configured(py::handle self) {
  py::object setting = settings::value(self.attr("config"), "reply_cache");
  if (setting.is_none()) return nullptr;
  py::object path = global("os").attr("path").attr("join")(self.attr("output_dir"), setting);
  auto cache = std::make_shared<ReplyCache>(path);
  // Created and switched to WAL here, on the calling thread, before any
  // fetch thread opens it: several first openings at once could find the
  // store locked and give up on it for the whole run.
  cache->connection();
  return cache;
}

ReplyCache::ReplyCache(py::object path) : path_(std::move(path)) {}

ReplyCache::~ReplyCache() {
  for (auto &entry : connections_) {
    try {
      entry.second.attr("close")();
    } catch (py::error_already_set &) {
    }
  }
}

std::optional<std::string> ReplyCache::key_for(py::handle body) {
  try {
    // The bytes `requests` sends for `json=body`.
    py::object text = global("json").attr("dumps")(body, "allow_nan"_a = false);
    py::object digest = py::module_::import("hashlib").attr("sha256")(text.attr("encode")("utf-8"));
    return host::str_of(digest.attr("hexdigest")());
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
    return std::nullopt;
  }
}

py::object ReplyCache::connection() {
  if (broken_) return py::object();
  auto found = connections_.find(std::this_thread::get_id());
  if (found != connections_.end()) return found->second;
  try {
    py::object path = path_;
    py::object folder = global("os").attr("path").attr("dirname")(path);
    if (host::truthy(folder)) global("os").attr("makedirs")(folder, "exist_ok"_a = true);
    // A store locked by another writer for this long counts as broken.
    py::object db = py::module_::import("sqlite3").attr("connect")(
        path, "timeout"_a = 10.0, "check_same_thread"_a = false);
    if (!prepared_) {
      try {
        db.attr("execute")("PRAGMA journal_mode=WAL");
        db.attr("execute")(kSchema);
        db.attr("commit")();
      } catch (...) {
        db.attr("close")();
        throw;
      }
      prepared_ = true;  // the mode and the table stay with the file
    }
    connections_.emplace(std::this_thread::get_id(), db);
    return db;
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
    give_up(error);
    return py::object();
  }
}

void ReplyCache::give_up(const py::error_already_set &error) {
  if (broken_) return;
  broken_ = true;
  host::warning("回复缓存不可用，本次运行不使用缓存: " + host::str_of(path_) + " (" +
                host::message_of(error) + ")");
}

std::optional<ReplyCache::Entry> ReplyCache::lookup(const std::string &key) {
  py::object db = connection();
  if (!db) return std::nullopt;
  try {
    py::object row =
        db.attr("execute")("SELECT content, finish_reason FROM replies WHERE key = ?",
                           py::make_tuple(key))
            .attr("fetchone")();
    if (row.is_none()) return std::nullopt;
    return Entry{row[py::int_(0)], row[py::int_(1)]};
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
    give_up(error);
    return std::nullopt;
  }
}

void ReplyCache::store(const std::string &key, py::handle content, py::handle finish_reason,
                       py::handle usage) {
  py::object db = connection();
  if (!db) return;
  try {
    py::object usage_text = usage.is_none()
                                ? py::object(py::none())
                                : global("json").attr("dumps")(usage, "ensure_ascii"_a = false);
    py::object now = global("datetime").attr("now")().attr("isoformat")("timespec"_a = "seconds");
    py::object reason = finish_reason.is_none() || PyUnicode_Check(finish_reason.ptr())
                            ? py::reinterpret_borrow<py::object>(finish_reason)
                            : py::object(py::str(finish_reason));
    host::with(db, [&] {
      db.attr("execute")(
          "INSERT OR REPLACE INTO replies (key, content, finish_reason, usage, stored_at)"
          " VALUES (?, ?, ?, ?, ?)",
          py::make_tuple(key, content, reason, usage_text, now));
    });
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
    give_up(error);
  }
}

}  // namespace brivane::bind
