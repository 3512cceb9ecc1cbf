// The header lines and the body of one HTTP/SIP/RTSP message.
//
// CHttpHeader maps header names to values, ordered by byte-wise comparison
// of the names (case-sensitive, so upper-case letters sort before lower-case
// ones); printing walks that order, whatever order the headers were set in.
// It also keeps the header text exactly as it was received.
//
// CHttpBody holds the body in one shared CAutoBuffer, or nothing.
//
// Both belong to one CHttpStack and are used by one thread at a time.
#ifndef KVR_PROTOCOL_HTTP_HTTP_HEADER_H_
#define KVR_PROTOCOL_HTTP_HTTP_HEADER_H_

#include <map>
#include <string>
#include <string_view>

#include "io/auto_buffer.h"

namespace QWTools {

class CHttpHeader {
 public:
  using Map = std::map<std::string, std::string, std::less<>>;

  // Replaces the value of an existing header.
  void Set(std::string_view name, std::string_view value);
  // The value, or null when there is no such header.
  const std::string* Find(std::string_view name) const;
  bool Has(std::string_view name) const { return Find(name) != nullptr; }
  bool Remove(std::string_view name);
  void Clear();

  const Map& Fields() const { return fields_; }
  bool IsEmpty() const { return fields_.empty(); }

  // "name: value" CR LF for every header in map order, then CR LF.
  std::string Print() const;

  // The header text as received: from the first header line up to and
  // including the empty line.
  const std::string& RawText() const { return raw_; }
  void SetRawText(std::string_view raw) { raw_.assign(raw); }

 private:
  Map fields_;
  std::string raw_;
};

class CHttpBody {
 public:
  // Replaces the body with a copy of `length` bytes; a length below 1 or a
  // null `data` leaves no body. Returns whether a body is now held.
  bool Set(const char* data, int length);
  void Clear() { buffer_.Reset(); }

  // The bytes (NUL-terminated after Length() bytes), or null without a body.
  const char* Data() const { return buffer_ ? buffer_->Data() : nullptr; }
  int Length() const { return buffer_ ? buffer_->Size() : 0; }
  std::string_view View() const;
  // The shared buffer itself, for holders that keep the body beyond the message.
  CAutoBuffer* Buffer() const { return buffer_.get(); }

 private:
  CReferPtr<CAutoBuffer> buffer_;
};

}  // namespace QWTools

#endif  // KVR_PROTOCOL_HTTP_HTTP_HEADER_H_
