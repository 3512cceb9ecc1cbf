// One message of a text protocol shaped like HTTP (HTTP, SIP or RTSP): start
// line, header lines, an empty line, then a body of "Content-Length" bytes.
//
// A stack parses one message from received bytes (which may hold more than
// one message, an incomplete one, or junk in front of one), tells how many
// bytes the message took, and prints a message back to text. The wrappers of
// http_message.h own one stack each. A stack is used by one thread at a time.
#ifndef KVR_PROTOCOL_HTTP_HTTP_STACK_H_
#define KVR_PROTOCOL_HTTP_HTTP_STACK_H_

#include <string>
#include <string_view>

#include "protocol/http/http_header.h"
#include "protocol/http/http_tokens.h"

namespace QWTools {

// Results of CHttpStack::Parse and of the wrapper operations.
enum HttpStatus : int {
  kHttpOk = 0,
  kHttpNoText = -2,
  kHttpIncomplete = -5,  // not (yet) a complete message: keep the bytes, try again later
  kHttpJunk = -6,        // bytes in front of a message: a junk packet of TotalLength() bytes
  kHttpNoStack = -7,
};

// The first token of a junk packet.
inline constexpr char kJunkPacketToken[] = "HTTPSCRAPPACKET";

class CHttpStack {
 public:
  CHttpStack();
  CHttpStack(const CHttpStack&) = delete;
  CHttpStack& operator=(const CHttpStack&) = delete;

  // Parses the message at the start of `text` (`length` bytes; 0 means up
  // to the NUL). Returns kHttpOk, kHttpNoText, kHttpIncomplete or kHttpJunk.
  // Whatever the stack held before is replaced.
  int Parse(const char* text, int length);

  // Prints start line, headers in name order, empty line and body. The text
  // is empty when the start line cannot be made (unknown first token, or an
  // empty URL, version, status code or reason). The result stays valid until
  // the next ToText or the stack's end.
  const std::string& ToText();

  // Bytes the message takes in the received text: start line, header text as
  // received and the "Content-Length" number (a junk packet: its junk bytes).
  int TotalLength() const;

  // The value of the header, or for a name that is absent the value of the
  // name with every upper-case letter after a "-" lowered ("Content-Length"
  // finds "Content-length"); decimal, 0 when neither exists.
  int GetNumberHeader(std::string_view name) const;
  void SetNumberHeader(std::string_view name, int value);

  // Copies `length` bytes (0: up to the NUL) into the body and sets
  // "Content-Length" to the body length. A null `data` clears the body.
  // Returns the body length, or -1 (nothing changed) for a negative length.
  int SetBody(const char* data, int length);

  // Makes this a request: method "POST", the URL, version "HTTP/1.1".
  void SetRequestURL(std::string_view url);

  bool IsJunkPacket() const { return firstToken_ == kJunkPacketToken; }

  const std::string& FirstToken() const { return firstToken_; }
  const std::string& URL() const { return url_; }
  const std::string& StatusCode() const { return statusCode_; }
  const std::string& Reason() const { return reason_; }
  const std::string& Version() const { return version_; }
  const std::string& StartLine() const { return startLine_; }
  int Protocol() const { return protocol_; }
  int MessageKind() const { return kind_; }

  void SetFirstToken(std::string_view token) { firstToken_.assign(token); }
  void SetURL(std::string_view url) { url_.assign(url); }
  void SetStatusCode(std::string_view code) { statusCode_.assign(code); }
  void SetReason(std::string_view reason) { reason_.assign(reason); }
  void SetVersion(std::string_view version) { version_.assign(version); }
  void SetProtocol(int protocol) { protocol_ = protocol; }
  void SetMessageKind(int kind) { kind_ = kind; }

  CHttpHeader& Header() { return header_; }
  const CHttpHeader& Header() const { return header_; }
  CHttpBody& Body() { return body_; }
  const CHttpBody& Body() const { return body_; }

 private:
  void Clear();
  // Fills the start-line fields; false when the line does not start a message.
  bool ParseStartLine(std::string_view line);
  // kHttpOk, kHttpIncomplete, or kHttpJunk for a malformed header line.
  int ParseHeaders(std::string_view text);
  // Looks for a known token after the first byte; kHttpJunk or kHttpIncomplete.
  int SearchJunk(std::string_view text);

  std::string firstToken_;
  std::string url_;
  std::string statusCode_;
  std::string reason_;
  std::string version_;
  std::string startLine_;
  CHttpHeader header_;
  CHttpBody body_;
  int protocol_ = kProtocolUnknown;
  int kind_ = kKindUnknown;
  int startLineLength_ = -1;  // -1: the length of startLine_
  std::string text_;
};

}  // namespace QWTools

#endif  // KVR_PROTOCOL_HTTP_HTTP_STACK_H_
