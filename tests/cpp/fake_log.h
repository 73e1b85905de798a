// Records kept as "I message", "W message", ... for the tests to compare.
#pragma once
#include <string>
#include <vector>

#include "pipeline/file_correction.h"

struct FakeLog : brivane::pipeline::Log {
  std::vector<std::string> records;
  void debug(const std::string &) override {}
  void info(const std::string &m) override { records.push_back("I " + m); }
  void warning(const std::string &m) override { records.push_back("W " + m); }
  void error(const std::string &m) override { records.push_back("E " + m); }
  void critical(const std::string &m) override { records.push_back("C " + m); }
  void progress(const std::string &m, long long, long long) override { records.push_back("P " + m); }
  std::string quote_list(const std::vector<std::string> &indexes) override {
    std::string out;
    for (const auto &index : indexes) out += "<" + index + ">";
    return out;
  }
};
