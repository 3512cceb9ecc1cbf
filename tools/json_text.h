// A text as a JSON string literal, for the two programs that print JSON (kvrctl's --json and
// kvrd's HTTP API). Header-only so that neither program links the other's code.
#ifndef KVR_TOOLS_JSON_TEXT_H_
#define KVR_TOOLS_JSON_TEXT_H_

#include <cstdio>
#include <string>

namespace kvr {

inline std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace kvr

#endif  // KVR_TOOLS_JSON_TEXT_H_
