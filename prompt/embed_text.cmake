# Writes INPUT's bytes into OUTPUT as the body of brivane::prompt::correction_prompt().
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(LENGTH "${hex}" hex_len)
math(EXPR size "${hex_len} / 2")
file(WRITE "${OUTPUT}" "#include \"prompt/prompt.h\"\n"
  "namespace brivane::prompt {\n"
  "static const unsigned char kPrompt[${size}] = {${bytes}};\n"
  "std::string_view correction_prompt() {\n"
  "  return {reinterpret_cast<const char*>(kPrompt), ${size}};\n"
  "}\n}\n")
