// The reply cache: every reply that passed the client's checks, stored in
// SQLite under the SHA-256 of the exact request body, so a rerun (after a
// stop, or after a glossary edit) pays only for what it has not got yet.
#pragma once
#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>


namespace brivane::bind {
namespace py = pybind11;

class ReplyCache {
 public:
  struct Entry {
    py::object content;
    py::object finish_reason;
  };

  // The engine's cache as configured (`reply_cache`, relative to the
  // output directory), or null when there is none.
  static std::shared_ptr<ReplyCache> configured(py::handle self);

  explicit ReplyCache(py::object path);
  ReplyCache(const ReplyCache &) = delete;
  ReplyCache &operator=(const ReplyCache &) = delete;
  ~ReplyCache();

  // The key of a request body, or nothing when it cannot be serialised.
  static std::optional<std::string> key_for(py::handle body);
  std::optional<Entry> lookup(const std::string &key);
  // One transaction per reply: a killed process loses at most the replies
  // in flight.
  void store(const std::string &key, py::handle content, py::handle finish_reason,
             py::handle usage);

 private:
  // This thread's connection, opened on first use (the first one creates
  // the store and sets its mode); null once the store failed (after one
  // warning).
  py::object connection();
  void give_up(const py::error_already_set &error);

  py::object path_;
  bool broken_ = false;
  bool prepared_ = false;
  // Touched only with the interpreter lock held.
  std::unordered_map<std::thread::id, py::object> connections_;
};

}  // namespace brivane::bind
