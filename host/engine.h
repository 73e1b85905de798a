// Engine methods implemented in C++ and assembled into the class `Brivane`
// by module.cpp. Each takes the instance and its arguments as plain Python
// objects; nothing is coerced at the boundary.
#pragma once
#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/client.h"
#include "text/srt.h"

namespace brivane::bind {
namespace py = pybind11;

// The class `Brivane` of module `m`, its methods the functions below
// (engine.cpp).
py::object define_engine_class(py::module_ &m);

// Construction and reference data (engine.cpp).
// `config`: the configuration already read from `config_file` (or the
// packaged file), applied without reading it again; `settings`: keys that
// replace the configuration's for this engine (a `logging` member replaces
// keys of that section); `glossary_files`: glossary files read after the
// configured ones; `glossaries_read`: {absolute path: parsed JSON} of
// glossary files the caller read already, taken instead of reading them.
void init(py::object self, py::object api_key, py::object input_dir, py::object output_dir,
          py::object config_file, py::object config, py::object settings,
          py::object glossary_files, py::object glossaries_read);
void load_config_from_package(py::object self);
void load_config(py::object self, py::object config_file);
void load_error_terms(py::object self);
// The configured glossary files (a list), each joined to the configuration's
// folder, or as given when it has none.
py::list glossary_paths(py::handle self, py::handle files);
void create_directories(py::object self);
void generate_prompt(py::object self);

// Text steps and subtitle files (subtitles.cpp).
py::object parse_srt(py::object self, py::object file_path);
// The text of a subtitle file in the configured `input_encoding` (absent:
// UTF-8; "auto": UTF-8, else what charset-normalizer detects); `report`
// logs which encoding was used when it was not UTF-8, and `guessed` (when
// given) receives it. A file that is UTF-8 but for a few bytes is refused.
py::object read_subtitle_text(py::handle self, py::handle file_path, bool report,
                              py::object *guessed = nullptr);
// What parse_srt reads; `report` adds its records for skipped blocks.
py::list read_subtitles(py::handle self, py::handle file_path, bool report);
py::object write_srt(py::object self, py::object subtitles, py::object output_path);

// A subtitle file as the file correction reads it: nothing of it is lost.
struct CueFile {
  py::object content;               // the decoded text
  std::vector<text::SrtPart> parts;  // every part, in file order
  // Subtitle dicts of the cues that have text (the ones sent), in order. A
  // cue without an index line is sent under its number among the cues.
  py::list subtitles;
  std::size_t cue_count = 0;
  std::vector<std::size_t> verbatim_lines;
  py::object guessed_encoding = py::none();  // when "auto" read it in another encoding  // first line of each part kept as written
};
// `report`: log the encoding when it was not UTF-8.
CueFile read_cue_file(py::handle self, py::handle file_path, bool report = true);
// Writes `file` with the texts of `corrected` (one Subtitle per sent cue, in
// order) like write_srt: same records, same result; everything else of the
// file as read. `failure` (when given) receives the error record's text.
py::object write_cue_file(const CueFile &file, py::handle corrected, py::handle output_path,
                          std::string *failure = nullptr);
// The record a reading with `report` gives of the file's encoding.
void report_encoding(const CueFile &file, py::handle file_path);
// A file of a batch read once, without records, and the request texts its
// correction will send, in window order (none when its window size is
// refused); nothing when it cannot be read (its correction reports why).
struct PlannedFile {
  CueFile file;
  std::vector<PlannedRequest> requests;
};
std::optional<PlannedFile> plan_file(py::handle self, py::handle file_path);
py::object remove_annotations(py::object self, py::object text);
py::object extract_blocks_from_text(py::object self, py::object text);
py::object get_output_path(py::object self, py::object file_path);
py::object apply_term_corrections(py::object self, py::object text);

// The model client (client.cpp).
py::object call_deepseek_api_with_subtitle_prompt(py::object self, py::object subtitle_text,
                                                  py::object max_retries, py::object retry_delay,
                                                  py::object timeout);

// The file pipeline (file_correction.cpp) and the batch (batch.cpp).
py::object process_subtitle_file(py::object self, py::object file_path,
                                 py::object custom_window_size, py::object start_window,
                                 py::object end_window);
// What a batch shares with each file it corrects: the reply cache, the
// requests fetched ahead (null: none) and the review report (None: none).
struct BatchShare {
  ReplyCache *cache = nullptr;
  Prefetch *prefetch = nullptr;
  py::object report = py::none();
  py::object progress = py::none();  // see process_all_files
  // Each file as the batch read it to plan it, taken by its correction: an
  // input is read once per run.
  std::unordered_map<std::string, CueFile> read;
  // Why the file corrected last failed (empty: it did not).
  std::string reason;
};
// process_subtitle_file within a batch (`batch`), or on its own (null).
py::object correct_file(py::object self, py::object file_path, py::object custom_window_size,
                        py::object start_window, py::object end_window, BatchShare *batch);
// What a dry run reports of one file: the number of blocks sent and the
// request text of each window, exactly as the engine would send them.
py::tuple dry_run_requests(py::object engine, py::object file_path);
py::object backup_files(py::object self);
// `progress`: called with ("batch", {"files", "windows"}) once the batch is
// planned, ("window", {"file", "window", "windows"}) after each merged
// window and ("file", {"file", "corrected", "reason"}) after each file.
py::object process_all_files(py::object self, py::object progress);
void main();

}  // namespace brivane::bind
