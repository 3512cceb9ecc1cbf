// Copying text into the fixed-width text fields of data units and host
// records. Every such copy goes through here, so each one is bounded by the
// field it writes and never reads a source field past its own width. Pure
// functions, safe from any thread.
#ifndef KVR_SVRFRAME_TEXT_FIELD_H_
#define KVR_SVRFRAME_TEXT_FIELD_H_

#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace kvr {

// The text of a fixed-width field: up to its first NUL, or all of it when it
// fills its width with no NUL.
template <size_t M>
std::string_view FieldText(const char (&field)[M]) {
  return std::string_view(field, ::strnlen(field, M));
}

// Copies `text` and a NUL into `field`. `text` is a C string, a std::string
// or std::string_view, or another fixed-width field (read no further than its
// width). False, leaving `field` as it was, for a null pointer or text that
// does not fit: a name cut short would name another record.
template <size_t N, class Text>
bool CopyField(char (&field)[N], const Text& text) {
  std::string_view view;
  if constexpr (std::is_array_v<Text>) {
    view = FieldText(text);
  } else if constexpr (std::is_pointer_v<Text>) {
    if (text == nullptr) return false;
    view = std::string_view(text, ::strnlen(text, N));
  } else {
    view = text;
  }
  if (view.size() >= N) return false;
  std::memcpy(field, view.data(), view.size());
  field[view.size()] = '\0';
  return true;
}

}  // namespace kvr

#endif  // KVR_SVRFRAME_TEXT_FIELD_H_
