// The batch's own rules: the records of its course over the files, what a
// file read for correction must hold, and the names its inputs and settings
// take in the backup archive.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/file_correction.h"

namespace brivane::pipeline {

// Counts the files of a batch as they are corrected and records its start,
// each file and its end.
class BatchCourse {
 public:
  BatchCourse(long long files, Log &log);
  void starting(std::string_view file_name);
  void finished(bool corrected);
  void summary();

 private:
  long long files_, processed_ = 0, succeeded_ = 0;
  Log &log_;
};

// What a file read for correction must hold: a file with no cue at all is
// not a subtitle file (an unchanged copy would count as a success), and the
// parts kept as written are worth a warning naming their lines. The failure
// message when it is refused; `file_name` as the message shows it.
std::optional<std::string> check_read_file(std::size_t cue_count,
                                           const std::vector<std::size_t> &verbatim_lines,
                                           std::string_view file_name, Log &log);

// Names for files in the backup archive: a name already taken gets "_2",
// "_3", ... before its extension, so both files are kept.
std::vector<std::string> archive_names(const std::vector<std::string> &names);

}  // namespace brivane::pipeline
