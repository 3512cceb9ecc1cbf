#include "protocol/http/http_stack.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

namespace QWTools {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";

// Characters trimmed off header names and values, and the ones that may
// follow a token found by the junk search.
bool IsSpaceLike(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\b' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpaceLike(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpaceLike(s.back())) s.remove_suffix(1);
  return s;
}

// The first line with its line end: up to the first CR LF; without one, up
// to the first CR or LF alone; without either, the whole text.
std::string_view FirstLine(std::string_view text) {
  size_t end = text.find(kCrLf);
  if (end != std::string_view::npos) return text.substr(0, end + 2);
  end = text.find_first_of("\r\n");
  if (end != std::string_view::npos) return text.substr(0, end + 1);
  return text;
}

std::string_view WithoutLineEnd(std::string_view line) {
  if (line.ends_with(kCrLf)) {
    line.remove_suffix(2);
  } else if (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
    line.remove_suffix(1);
  }
  return line;
}

// Decimal with optional blanks and sign in front; stops at the first other
// character; saturates at the int range. No digits: 0.
int ParseDecimal(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsSpaceLike(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  int64_t value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > INT_MAX) {
      value = static_cast<int64_t>(INT_MAX) + 1;
      if (!negative) value = INT_MAX;
      break;
    }
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

CHttpStack::CHttpStack() { HttpTokenTables(); }

void CHttpStack::Clear() {
  firstToken_.clear();
  url_.clear();
  statusCode_.clear();
  reason_.clear();
  version_.clear();
  startLine_.clear();
  header_.Clear();
  body_.Clear();
  protocol_ = kProtocolUnknown;
  kind_ = kKindUnknown;
  startLineLength_ = -1;
}

int CHttpStack::Parse(const char* text, int length) {
  Clear();
  if (text == nullptr || length < 0) return kHttpNoText;
  size_t size = length == 0 ? std::strlen(text) : static_cast<size_t>(length);
  if (size == 0) return kHttpNoText;
  std::string_view all(text, size);

  std::string_view line = FirstLine(all);
  if (line.empty()) return kHttpIncomplete;
  startLine_.assign(line);
  if (!ParseStartLine(line)) return SearchJunk(all);

  int status = ParseHeaders(all.substr(line.size()));
  if (status == kHttpJunk) return SearchJunk(all);
  if (status != kHttpOk) return status;

  int64_t content_length = std::max(0, GetNumberHeader("Content-Length"));
  int64_t head = static_cast<int64_t>(line.size() + header_.RawText().size());
  if (static_cast<int64_t>(size) < head + content_length) return kHttpIncomplete;
  // A body that cannot be stored still leaves the message parsed.
  body_.Set(all.data() + head, static_cast<int>(content_length));
  return kHttpOk;
}

bool CHttpStack::ParseStartLine(std::string_view line) {
  std::string_view content = WithoutLineEnd(line);
  size_t blank = content.find(' ');
  std::string_view first = content.substr(0, blank);
  std::string_view second, rest;
  if (blank != std::string_view::npos) {
    std::string_view after = content.substr(blank + 1);
    size_t next = after.find(' ');
    second = after.substr(0, next);
    if (next != std::string_view::npos) rest = after.substr(next + 1);
  }

  HttpTokenMatch match = FindHttpToken(first);
  if (match.kind == kKindUnknown || second.empty()) return false;
  firstToken_.assign(first);
  kind_ = match.kind;
  protocol_ = match.protocol;
  if (match.kind == kKindResponse) {
    statusCode_.assign(second);
    reason_.assign(rest);
  } else {
    url_.assign(second);
    version_.assign(rest);
  }
  return true;
}

int CHttpStack::ParseHeaders(std::string_view text) {
  if (text.starts_with(kCrLf)) {
    header_.SetRawText(kCrLf);
    header_.Set("Content-Length", "0");
    return kHttpOk;
  }
  size_t end = text.find(kHeaderEnd);
  if (end == std::string_view::npos) return kHttpIncomplete;
  header_.SetRawText(text.substr(0, end + kHeaderEnd.size()));

  // The header lines proper: everything before the empty line, each ending in CR LF.
  std::string_view lines = text.substr(0, end + kCrLf.size());
  while (!lines.empty()) {
    size_t eol = lines.find(kCrLf);
    std::string_view line = lines.substr(0, eol);
    lines.remove_prefix(eol + kCrLf.size());
    if (line.empty()) continue;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return kHttpJunk;
    std::string_view name = Trim(line.substr(0, colon));
    if (name.empty()) return kHttpJunk;
    header_.Set(name, Trim(line.substr(colon + 1)));
  }
  return kHttpOk;
}

int CHttpStack::SearchJunk(std::string_view text) {
  Clear();
  // The message at the first byte was already refused, so a token there
  // would make an empty junk packet and the caller would never advance.
  auto find = [text](std::string_view token) -> size_t {
    for (size_t at = text.find(token, 1); at != std::string_view::npos;
         at = text.find(token, at + 1)) {
      size_t after = at + token.size();
      if (after < text.size() && IsSpaceLike(text[after])) return at;
    }
    return std::string_view::npos;
  };
  for (const HttpTokenTable& table : HttpTokenTables()) {
    for (const auto* list : {&table.methods, &table.versions}) {
      for (std::string_view token : *list) {
        size_t at = find(token);
        if (at == std::string_view::npos) continue;
        startLine_.assign(text.substr(0, at));
        firstToken_ = kJunkPacketToken;
        kind_ = kKindRequest;
        protocol_ = table.protocol;
        return kHttpJunk;
      }
    }
  }
  startLineLength_ = text.size() > INT_MAX ? INT_MAX : static_cast<int>(text.size());
  return kHttpIncomplete;
}

const std::string& CHttpStack::ToText() {
  text_.clear();
  HttpTokenMatch match = FindHttpToken(firstToken_);
  if (match.kind == kKindRequest) {
    if (url_.empty() || version_.empty()) return text_;
    kind_ = kKindRequest;
    text_.append(firstToken_).append(" ").append(url_).append(" ").append(version_);
  } else if (match.kind == kKindResponse) {
    if (statusCode_.empty() || reason_.empty()) return text_;
    kind_ = kKindResponse;
    text_.append(firstToken_).append(" ").append(statusCode_).append(" ").append(reason_);
  } else {
    return text_;
  }
  text_.append(kCrLf);
  text_.append(header_.Print());
  text_.append(body_.View());
  return text_;
}

int CHttpStack::TotalLength() const {
  int64_t start =
      startLineLength_ >= 0 ? startLineLength_ : static_cast<int64_t>(startLine_.size());
  int64_t total = start + static_cast<int64_t>(header_.RawText().size()) +
                  std::max(0, GetNumberHeader("Content-Length"));
  return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

int CHttpStack::GetNumberHeader(std::string_view name) const {
  const std::string* value = header_.Find(name);
  if (value == nullptr) {
    std::string fallback(name);
    for (size_t i = 1; i < fallback.size(); ++i) {
      if (fallback[i - 1] == '-' && fallback[i] >= 'A' && fallback[i] <= 'Z') {
        fallback[i] = static_cast<char>(fallback[i] - 'A' + 'a');
      }
    }
    value = header_.Find(fallback);
  }
  return value == nullptr ? 0 : ParseDecimal(*value);
}

void CHttpStack::SetNumberHeader(std::string_view name, int value) {
  header_.Set(name, std::to_string(value));
}

int CHttpStack::SetBody(const char* data, int length) {
  if (length < 0) return -1;
  if (data != nullptr && length == 0) length = static_cast<int>(strnlen(data, INT_MAX));
  body_.Set(data, length);
  SetNumberHeader("Content-Length", body_.Length());
  return body_.Length();
}

void CHttpStack::SetRequestURL(std::string_view url) {
  firstToken_ = "POST";
  url_.assign(url);
  version_ = "HTTP/1.1";
  kind_ = kKindRequest;
}

}  // namespace QWTools
