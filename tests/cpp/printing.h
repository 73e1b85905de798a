// Short, readable names for parameterised cases (ctest shows them).
#pragma once
#include <ostream>
#include <string_view>

inline void print_escaped(std::string_view s, std::ostream *os) {
  static const char kHex[] = "0123456789abcdef";
  *os << '"';
  for (unsigned char c : s.substr(0, 40)) {
    if (c == '\n') {
      *os << "\\n";
    } else if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
      *os << "\\x" << kHex[c >> 4] << kHex[c & 15];
    } else {
      *os << c;
    }
  }
  *os << (s.size() > 40 ? "...\"" : "\"");
}

#define BRIVANE_PRINT_CASE(Type, field) \
  inline void PrintTo(const Type &c, std::ostream *os) { print_escaped(c.field, os); }
