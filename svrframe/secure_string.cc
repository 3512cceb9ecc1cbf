#include "svrframe/secure_string.h"

#include <climits>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr size_t kEmptyCapacity = 4;
const char kSharedEmpty[1] = {0};

}  // namespace

void CSecureString::Replace(const char* text, size_t length) {
  if (length > static_cast<size_t>(INT_MAX - 1)) length = INT_MAX - 1;
  auto fresh = std::make_unique<char[]>(length + 1 > kEmptyCapacity ? length + 1 : kEmptyCapacity);
  if (length > 0) std::memcpy(fresh.get(), text, length);
  fresh[length] = 0;
  data_ = std::move(fresh);
  length_ = static_cast<int>(length);
}

CSecureString::CSecureString() { Replace("", 0); }

CSecureString::CSecureString(const char* text) {
  if (text == nullptr) text = "";
  Replace(text, std::strlen(text));
}

CSecureString::CSecureString(const char* text, int length) {
  if (text == nullptr || length < 0) length = 0;
  Replace(text, strnlen(text == nullptr ? "" : text, static_cast<size_t>(length)));
}

CSecureString::CSecureString(const CSecureString& other) {
  Replace(other.c_str(), static_cast<size_t>(other.length_));
}

CSecureString::CSecureString(CSecureString&& other) noexcept
    : data_(std::move(other.data_)), length_(other.length_) {
  // The moved-from string stays valid and empty. Allocation failure here
  // would end the process anyway, so noexcept holds in practice.
  other.Replace("", 0);
}

CSecureString& CSecureString::operator=(const char* text) {
  if (text != nullptr && text != c_str()) Replace(text, std::strlen(text));
  return *this;
}

CSecureString& CSecureString::operator=(const CSecureString& other) {
  if (this != &other) Replace(other.c_str(), static_cast<size_t>(other.length_));
  return *this;
}

CSecureString& CSecureString::operator=(CSecureString&& other) noexcept {
  if (this != &other) {
    // The moved-from string keeps our old buffer, emptied, so a move costs no
    // allocation (messages are stamped with a name this way for every send).
    data_.swap(other.data_);
    length_ = other.length_;
    other.data_[0] = 0;
    other.length_ = 0;
  }
  return *this;
}

CSecureString& CSecureString::Append(const char* text) {
  if (text == nullptr || *text == 0) return *this;
  return Insert(length_, text);
}

CSecureString& CSecureString::Append(char c) {
  if (c == 0) return *this;
  const char text[2] = {c, 0};
  return Insert(length_, text);
}

CSecureString& CSecureString::Insert(int position, const char* text) {
  if (text == nullptr || *text == 0) return *this;
  if (position < 0) position = 0;
  if (position > length_) position = length_;
  const size_t add = std::strlen(text);
  std::string_view old(c_str(), static_cast<size_t>(length_));
  std::string joined;
  joined.reserve(old.size() + add);
  joined.append(old.substr(0, static_cast<size_t>(position)));
  joined.append(text, add);  // text may point into this string: copied before replacing
  joined.append(old.substr(static_cast<size_t>(position)));
  Replace(joined.data(), joined.size());
  return *this;
}

int CSecureString::Erase(int position, int count) {
  if (position < 0 || position > length_) return -1;
  if (count <= 0) return length_;
  const int removed = count > length_ - position ? length_ - position : count;
  std::memmove(data_.get() + position, data_.get() + position + removed,
               static_cast<size_t>(length_ - position - removed) + 1);
  length_ -= removed;
  return length_;
}

int CSecureString::Find(char c, int from) const {
  if (from < 0 || from >= length_) return -1;
  const void* hit = std::memchr(c_str() + from, c, static_cast<size_t>(length_ - from));
  return hit == nullptr ? -1 : static_cast<int>(static_cast<const char*>(hit) - c_str());
}

int CSecureString::Find(const char* text, int from) const {
  if (text == nullptr || from < 0 || from > length_) return -1;
  std::string_view hay(c_str(), static_cast<size_t>(length_));
  size_t at = hay.find(text, static_cast<size_t>(from));
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

std::unique_ptr<CSecureString> CSecureString::Substring(int position, int count) const {
  auto out = std::make_unique<CSecureString>();
  if (position < 0 || count < 0 ||
      static_cast<long long>(position) + count > static_cast<long long>(length_)) {
    return out;
  }
  out->Replace(c_str() + position, static_cast<size_t>(count));
  return out;
}

const char* CSecureString::At(int index) const {
  if (index < 0 || index >= length_) return kSharedEmpty;
  return c_str() + index;
}

int CSecureString::Compare(const char* text) const {
  if (text == nullptr) text = "";
  int c = std::strcmp(c_str(), text);  // strcmp compares as unsigned char
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int CSecureString::Compare(std::unique_ptr<CSecureString> temporary) const {
  return temporary == nullptr ? Compare("") : Compare(*temporary);
}

size_t std::hash<CSecureString>::operator()(const CSecureString& s) const noexcept {
  return std::hash<std::string_view>()(
      std::string_view(s.c_str(), static_cast<size_t>(s.Length())));
}
