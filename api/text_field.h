// Copying a caller's text into a fixed-width field of a data unit.
#ifndef KVR_API_TEXT_FIELD_H_
#define KVR_API_TEXT_FIELD_H_

#include <cstddef>
#include <cstring>

namespace kvr_api {

// Copies `text` with its NUL into `field`. False, leaving `field` as it was,
// for null text or text that does not fit: a name cut short would name
// another record.
template <size_t N>
bool CopyField(char (&field)[N], const char* text) {
  if (text == nullptr) return false;
  const size_t length = ::strnlen(text, N);
  if (length == N) return false;
  std::memcpy(field, text, length + 1);
  return true;
}

}  // namespace kvr_api

#endif  // KVR_API_TEXT_FIELD_H_
