// The SRT block shared by every text step. Fields hold UTF-8 text exactly as
// read; `index` is never converted to a number.
#pragma once
#include <string>

namespace brivane::text {

struct Subtitle {
  std::string index;
  std::string start_time;
  std::string end_time;
  std::string text;

  bool operator==(const Subtitle &o) const {
    return index == o.index && start_time == o.start_time && end_time == o.end_time &&
           text == o.text;
  }
};

}  // namespace brivane::text
