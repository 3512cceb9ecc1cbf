// The message wrappers: what the rest of the service holds of an HTTP or
// RTSP message. Each wrapper owns one CHttpStack (or, after a failed
// hand-over, none: then every operation answers kHttpNoStack or an empty
// result). QWTools::HTTPCommon::Parse turns received bytes into the right
// wrapper. A wrapper is used by one thread at a time.
#ifndef KVR_PROTOCOL_HTTP_HTTP_MESSAGE_H_
#define KVR_PROTOCOL_HTTP_HTTP_MESSAGE_H_

#include <memory>
#include <string>
#include <string_view>

#include "protocol/http/http_stack.h"
#include "sdp/src/qw_sdp.h"

namespace QWTools {

class HTTPCommon {
 public:
  explicit HTTPCommon(std::unique_ptr<CHttpStack> stack);
  virtual ~HTTPCommon();
  HTTPCommon(const HTTPCommon&) = delete;
  HTTPCommon& operator=(const HTTPCommon&) = delete;

  // Reads the message at the start of `text` (`length` bytes, 0: up to the
  // NUL). Returns the wrapper, or null with the reason in `*status`
  // (kHttpNoText, kHttpIncomplete; also kHttpOk for a complete SIP message,
  // which this service does not handle).
  //
  // Junk in front of a message comes back as a request wrapper for which
  // IsJunkPacket() holds and GetTotalLength() is the junk length, with status
  // kHttpOk: skip that many bytes and parse again.
  //
  // HTTP messages give HTTPRequest / HTTPResponse, RTSP messages (by their
  // version text) RTSPRequest / RTSPResponse.
  static std::unique_ptr<HTTPCommon> Parse(const char* text, int length, int* status);

  // The printed message; empty when the start line cannot be made. Stays
  // valid until the next ToText or the wrapper's end.
  virtual const std::string& ToText();

  // kKindRequest or kKindResponse.
  int GetMessageKind() const;
  // 1 HTTP when the version text contains "HTTP", 3 when it contains "RTSP",
  // 2 when it contains "SIP"; otherwise the protocol of the start-line token.
  int GetProtocol() const;
  bool IsJunkPacket() const;
  // Bytes the parsed message took (see CHttpStack::TotalLength).
  int GetTotalLength() const;

  // The value, empty when absent.
  std::string GetHeader(std::string_view name) const;
  // See CHttpStack::GetNumberHeader; 0 when absent.
  int GetNumberHeader(std::string_view name) const;
  // A null name or value changes nothing.
  void SetHeader(const char* name, const char* value);
  void SetNumberHeader(std::string_view name, int value);

  // Makes the message a request: "POST", the URL, "HTTP/1.1".
  void SetURL(std::string_view url);
  std::string GetURL() const;
  std::string GetMethod() const;
  std::string GetStatus() const;
  std::string GetReason() const;
  std::string GetVersion() const;

  // The body bytes, or an empty text.
  std::string GetBody() const;
  // Copies `length` bytes (0: up to the NUL) and sets "Content-Length".
  // Returns the body length, -1 for a negative length, kHttpNoStack.
  int SetBody(const char* data, int length);

  CHttpStack* GetStack() const { return stack_.get(); }

 protected:
  std::unique_ptr<CHttpStack> stack_;
};

class HTTPRequest : public HTTPCommon {
 public:
  // Method "POST", the URL, version "HTTP/1.1".
  explicit HTTPRequest(std::string_view url);
  explicit HTTPRequest(std::unique_ptr<CHttpStack> stack) : HTTPCommon(std::move(stack)) {}
};

class HTTPResponse : public HTTPCommon {
 public:
  // "HTTP/1.1", the status code in decimal, the reason.
  HTTPResponse(int status, std::string_view reason);
  // A parsed response; an "application/sdp" body that parses becomes the
  // attached description (one that does not is left as body text only).
  explicit HTTPResponse(std::unique_ptr<CHttpStack> stack);
  ~HTTPResponse() override;

  // With a description attached, first sets "Content-Type" to
  // "application/sdp" and prints the description into the body. A parsed
  // description left unchanged leaves the body as received (text the
  // description does not hold, such as lines before "v=", stays), and one
  // that cannot be printed leaves headers and body as they are.
  const std::string& ToText() override;

  // The attached description, or null.
  CQwSdp* GetSdp() const { return sdp_.get(); }
  // Attaches a description (null drops the one attached).
  void SetSdp(std::unique_ptr<CQwSdp> sdp) {
    sdp_ = std::move(sdp);
    sdpAsReceived_.clear();
  }

 private:
  // The print of the description parsed from the body, as it was parsed
  // (declared first: the constructor fills it while making sdp_).
  std::string sdpAsReceived_;
  std::unique_ptr<CQwSdp> sdp_;
};

}  // namespace QWTools

class RTSPRequest : public QWTools::HTTPCommon {
 public:
  // The method, the URL, version "RTSP/1.0".
  RTSPRequest(std::string_view url, std::string_view method);
  explicit RTSPRequest(std::unique_ptr<QWTools::CHttpStack> stack) : HTTPCommon(std::move(stack)) {}
};

class RTSPResponse : public QWTools::HTTPCommon {
 public:
  // "RTSP/1.0", the status code in decimal, the reason.
  RTSPResponse(int status, std::string_view reason);
  // As QWTools::HTTPResponse.
  explicit RTSPResponse(std::unique_ptr<QWTools::CHttpStack> stack);
  ~RTSPResponse() override;

  // As QWTools::HTTPResponse::ToText.
  const std::string& ToText() override;

  CQwSdp* GetSdp() const { return sdp_.get(); }
  void SetSdp(std::unique_ptr<CQwSdp> sdp) {
    sdp_ = std::move(sdp);
    sdpAsReceived_.clear();
  }

 private:
  std::string sdpAsReceived_;
  std::unique_ptr<CQwSdp> sdp_;
};

#endif  // KVR_PROTOCOL_HTTP_HTTP_MESSAGE_H_
