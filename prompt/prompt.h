// The fixed correction prompt sent as the system message of every request.
#pragma once
#include <string_view>

namespace brivane::prompt {
// UTF-8 bytes of the prompt, compiled in from correction_prompt.txt.
std::string_view correction_prompt();
}  // namespace brivane::prompt
