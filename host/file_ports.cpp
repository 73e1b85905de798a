#include "host/file_ports.h"

#include "host/host.h"

namespace brivane::bind {
namespace {

std::string field_text(py::handle block, const char *key) {
  return host::str_of(block[py::str(key)]);
}

pipeline::BlockFields fields_of(py::handle block) {
  return {field_text(block, "index"), field_text(block, "start_time"),
          field_text(block, "end_time"), field_text(block, "text")};
}

// The replacement details as text. An entry that is not text fails where
// splitting it would, or else belongs to no block.
std::vector<std::string> detail_texts(py::handle replacement_details) {
  std::vector<std::string> texts;
  py::str separator(host::text(" → "));
  for (py::handle detail : replacement_details) {
    if (PyUnicode_Check(detail.ptr())) {
      texts.push_back(host::utf8(detail));
    } else {
      detail.attr("split")(separator);
      texts.emplace_back();
    }
  }
  return texts;
}

// The sent block with the reply's text: index and timing stay as sent.
py::object with_reply_text(py::handle sent_block, py::handle reply_block) {
  py::dict written = PyDict_Check(sent_block.ptr())
                         ? py::reinterpret_steal<py::dict>(PyDict_Copy(sent_block.ptr()))
                         : py::dict(py::reinterpret_borrow<py::object>(sent_block));
  if (!written) throw py::error_already_set();
  written["text"] = reply_block[py::str("text")];
  return std::move(written);
}

}  // namespace

std::vector<pipeline::BlockFields> fields_of_all(py::handle blocks) {
  std::vector<pipeline::BlockFields> all;
  for (py::handle block : blocks) all.push_back(fields_of(block));
  return all;
}

pipeline::Reply HostTransport::send(long long window, const std::string &request,
                                    bool follow_up) {
  std::optional<FetchedReply> fetched;
  if (prefetch_ && !follow_up) fetched = prefetch_->reply_for(request);
  if (!fetched) fetched = ask_directly(window, request);
  pipeline::Reply reply;
  reply.id = replies_.size();
  reply.text = host::str_of(fetched->reply[py::int_(0)]);
  const ReplyInfo &info = fetched->info;
  reply.cut_off = info.finish_reason.equal(py::str("length")) ||
                  info.finish_reason.equal(py::str("insufficient_system_resource"));
  reply.filtered = info.finish_reason.equal(py::str("content_filter"));
  if (info.returned) reply.returned = host::str_of(info.returned);
  if (info.after_glossary) reply.after_glossary = host::str_of(info.after_glossary);
  replies_.push_back({std::move(*fetched), py::list()});
  return reply;
}

FetchedReply HostTransport::ask_directly(long long window, const std::string &request) {
  // While requests are fetched ahead, this one counts toward their limit.
  return ask_client(self_, request, timeout_,
                    {cache_, window, prefetch_ ? &prefetch_->limit() : nullptr});
}

void HostTransport::read_blocks(pipeline::Reply &reply) {
  Held &held = replies_[reply.id];
  held.blocks = py::list(self_.attr("extract_blocks_from_text")(held.fetched.reply[py::int_(0)]));
  reply.blocks = fields_of_all(held.blocks);
  reply.details = detail_texts(held.fetched.reply[py::int_(1)]);
  if (review_) review_.count_usage(held.fetched.info.usage);
}

void HostTransport::close() {
  if (prefetch_) prefetch_->close();
}

py::handle HostTransport::block(std::size_t id, std::size_t block) const {
  return replies_[id].blocks[block];
}

void HostLog::debug(const std::string &message) { host::debug(message); }
void HostLog::info(const std::string &message) { host::info(message); }
void HostLog::warning(const std::string &message) { host::warning(message); }
void HostLog::error(const std::string &message) {
  host::error(message);
  if (reason_) *reason_ = message;
}
void HostLog::critical(const std::string &message) { host::critical(message); }
void HostLog::progress(const std::string &message, long long done, long long total) {
  host::info(message);
  if (progress_.is_none()) return;
  py::dict event;
  event["file"] = file_;
  event["window"] = done;
  event["windows"] = total;
  progress_("window", event);
}

std::string HostLog::quote_list(const std::vector<std::string> &indexes) {
  py::list listed;
  for (const std::string &index : indexes) listed.append(host::text(index));
  return host::str_of(py::repr(listed));
}

pipeline::Failure HostFailures::describe(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (...) {
    py::error_already_set error = host::current_error();
    // Interrupts pass through untouched.
    if (!host::is_ordinary(error)) throw error;
    pipeline::Failure described{
        host::message_of(error),
        host::str_of(py::type::handle_of(error.value()).attr("__name__"))};
    last_.emplace(std::move(error));
    return described;
  }
}

void HostFailures::stop(const std::string &message) {
  // Chained, so a traceback shows why the run stopped.
  stopped_.emplace(host::chained(PyExc_RuntimeError, message, *last_));
}

Placement::Placement(py::list subtitles, HostTransport &transport, bool range_mode)
    : subtitles_(std::move(subtitles)), transport_(transport), range_mode_(range_mode) {
  if (range_mode_) {
    // A shallow copy: windows outside the range keep their input blocks.
    corrected_ = py::reinterpret_steal<py::list>(PySequence_List(subtitles_.ptr()));
    if (!corrected_) throw py::error_already_set();
  }
}

void Placement::window_done(std::size_t first, const std::vector<pipeline::CueSource> &sources) {
  for (std::size_t s = 0; s < sources.size(); ++s) {
    py::handle sent = subtitles_[first + s];
    py::object written =
        sources[s].reply == pipeline::CueSource::kSent
            ? py::reinterpret_borrow<py::object>(sent)
            : with_reply_text(sent, transport_.block(sources[s].reply, sources[s].block));
    if (range_mode_) {
      corrected_[py::int_(first + s)] = written;
    } else {
      corrected_.append(written);
    }
  }
  transport_.forget();
}

}  // namespace brivane::bind
