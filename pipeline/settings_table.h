// Every configuration key in one table: its rule, the value a missing key
// takes (as JSON), and how the README shows that default; and the message
// for a value that breaks its key's rule. The host checks values against
// the rules; the engine, the command line, `doctor` and the glossary tools
// all read keys through it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brivane::settings {

enum class Rule {
  stored,           // any value, kept as it is
  nonempty_text,    // a str that is not blank
  text,             // a str
  positive_integer, // an int > 0 (true and false are not numbers)
  requests_in_flight,  // a positive int, or "auto"
  positive_number,  // an int or float > 0, or null
  flag,             // true or false
  path,             // a str, or null
  path_list,        // a list of str, or null
  object,           // a JSON object
  object_or_null,   // a JSON object, or null
  encoding,         // "auto" or an encoding name, or null
};

struct Key {
  const char *name;    // "logging.log_dir" for a key of the logging section
  Rule rule;
  const char *absent;  // the value of a missing key, as JSON
  const char *shown;   // that default as the README's table shows it
};

const std::vector<Key> &keys();
const Key &key(std::string_view name);
// The rule as its message says it ("必须是正整数"); empty for `stored`.
std::string_view rule_text(Rule rule);
// "配置项 {name} 必须是…，当前值: {shown_value}".
std::string problem(const Key &key, const std::string &shown_value);

}  // namespace brivane::settings
