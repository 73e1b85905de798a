#include "host/file_review.h"

#include <string_view>

#include "host/host.h"

namespace brivane::bind {
namespace {
constexpr std::string_view kArrow = " → ";
}

void FileReview::count_usage(py::handle usage) {
  if (!usage.is_none()) usages_.append(usage);
}

void FileReview::add_block(long long window, const pipeline::BlockFields &sent,
                           const pipeline::BlockRecord &record,
                           const pipeline::BlockFields *reply_block,
                           const std::vector<std::string> &details) {
  py::dict entry;
  entry["index"] = host::text(sent.index);
  entry["start"] = host::text(sent.start_time);
  entry["end"] = host::text(sent.end_time);
  entry["window"] = window;
  entry["sent"] = host::text(sent.text);
  py::list flags;
  if (record.missing()) {
    entry["returned"] = py::none();
    entry["glossary"] = py::none();
    entry["final"] = host::text(sent.text);
    flags.append("missing");
    if (record.filtered) flags.append("filtered");
  } else {
    entry["returned"] = host::text(record.returned);
    entry["glossary"] = host::text(record.after_glossary);
    entry["final"] = host::text(record.final_text);
    if (record.model_changed(sent)) flags.append("model");
    if (record.glossary_changed()) flags.append("glossary");
    if (record.commentary_removed()) flags.append("commentary");
    if (record.pair.timing_changed) flags.append("timing");
    if (record.follow_up) flags.append("follow_up");
  }
  py::list risks;
  for (const text::Risk &risk : record.risks) {
    py::dict shown;
    shown["kind"] = text::risk_kind_name(risk.kind);
    shown["before"] = host::text(risk.before);
    shown["after"] = host::text(risk.after);
    shown["label"] = host::text(text::risk_label(risk));
    risks.append(shown);
  }
  if (!record.risks.empty()) flags.append("risk");
  entry["risks"] = risks;
  entry["flags"] = flags;
  py::list entries;
  for (std::size_t d : record.glossary_entries) {
    const std::string &detail = details[d];
    std::size_t at = detail.find(kArrow);
    entries.append(py::make_tuple(host::text(detail.substr(0, at)),
                                  host::text(detail.substr(at + kArrow.size()))));
  }
  entry["glossary_entries"] = entries;
  entry["reply_timing"] = reply_block && record.pair.timing_changed
                              ? py::object(py::make_tuple(host::text(reply_block->start_time),
                                                          host::text(reply_block->end_time)))
                              : py::object(py::none());
  blocks_.append(entry);
}

void FileReview::hand_in(py::dict file) {
  file["blocks"] = blocks_;
  file["usages"] = usages_;
  report_.attr("add_file")(**file);
}

}  // namespace brivane::bind
