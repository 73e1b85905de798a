// The model client: the request (its body, the post through the in-flight limit
// and the deadline), the reading of the service's reply, and the glossary and
// cleanup on the content.
#pragma once
#include <pybind11/pybind11.h>

#include <string>

#include "host/cache.h"
#include "pipeline/schedule.h"

namespace brivane::bind {
namespace py = pybind11;

// The fixed members first; members of the optional `extra_body` section
// follow, replacing a fixed member of the same name in place.
py::dict build_body(py::handle self, py::handle subtitle_text);

// `requests.post(...)`; with a gate, only once it admits the request (a
// null object, with nothing sent, when the gate refuses the account). With
// `whole_request`, `timeout` bounds the request from sending to the last
// byte of the body: the service's keep-alive lines would restart a read
// time-out for ever.
py::object post_request(py::handle self, py::handle headers, py::handle body, py::handle timeout,
                        pipeline::AdaptiveLimit *gate, bool whole_request, long *sent_in = nullptr);

// The service pushing back (429, 503) halves the requests allowed in
// flight; each successful reply lets one more back in.
void report_status(pipeline::AdaptiveLimit &gate, py::handle status, long sent_in);

}  // namespace brivane::bind

namespace brivane::bind {
namespace py = pybind11;

// Raised as the final action of a branch; the attempt's general handler
// catches it like any other failure.
[[noreturn]] void raise_plain(const std::string &message);

bool detailed_logs_on(py::handle self);

// A reply as an error record quotes it: the first 200 characters, and the
// length when there is more.
std::string quoted_reply(py::handle text);

// Best effort: the error type and message of a failed reply's body.
void log_error_body(py::handle response);

// What the service said of a refusal: its error message, else the start of
// its reply (`raw_text`).
std::string refusal_text(py::handle response, py::handle raw_text);

// A 200 reply, read and logged: its content with the finish reason and
// usage, or (content null) the message that ends the call should this have
// been its last attempt.
struct ReplyContent {
  py::object content, finish_reason, usage;
  std::string retry_message;
};
ReplyContent read_reply_content(py::handle self, py::handle response);

// The glossary, then the commentary stripping, on a reply's content; each
// stage is kept for the review of where an edit came from.
py::object post_process(py::handle self, py::handle content, py::handle usage, ReplyInfo &info);

}  // namespace brivane::bind
