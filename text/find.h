// Substring search on UTF-8 bytes, shared by the block scanner and the
// pattern matchers.
#pragma once
#include <cstddef>
#include <string_view>

namespace brivane::text::match {

inline constexpr std::size_t npos = std::string_view::npos;

// First occurrence of `needle` in `hay` at or after `from` (memmem-style,
// linear). An empty needle is found at `from`.
std::size_t find(std::string_view hay, std::string_view needle, std::size_t from = 0);

}  // namespace brivane::text::match
