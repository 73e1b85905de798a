// The model client's request: its body, and the post through the in-flight
// limit of the requests fetched ahead.
#pragma once
#include <pybind11/pybind11.h>

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
