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

#include "pipeline/schedule.h"

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

// Where a client call stands: the reply cache it goes through (null: none),
// the one-based window it fetches (for the records), and the in-flight limit
// of the requests fetched ahead (null: none).
struct ClientContext {
  ReplyCache *cache = nullptr;
  long long window = 0;
  pipeline::AdaptiveLimit *gate = nullptr;
};

// What the client learnt of a reply beyond the pair it returns: the reply's
// text before its cleaning (null when the client did not say), and the usage
// the service reported (None for a reply from the cache, which cost
// nothing).
struct ReplyInfo {
  py::object finish_reason = py::none();
  py::object returned;        // the content as the service returned it
  py::object after_glossary;  // the content after the glossary's replacements
  py::object usage = py::none();
};

// A reply with what the client learnt of it.
struct FetchedReply {
  py::object reply;
  ReplyInfo info;
};

// The client's call with its context: the engine's own client is called
// directly, so the cache, the limit and what it learnt travel with the call;
// a client a caller put in its place is called through the instance and
// says nothing more than its pair. The time-out is the configured one, or
// the client's default when null.
FetchedReply ask_client(py::handle self, const std::string &text, py::handle timeout,
                        const ClientContext &context);
// The engine's own client, called directly.
FetchedReply call_client(py::object self, py::object text, py::object max_retries,
                         py::object retry_delay, py::object timeout, const ClientContext &context);

}  // namespace brivane::bind
