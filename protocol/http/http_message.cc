#include "protocol/http/http_message.h"

namespace QWTools {

namespace {

const std::string& EmptyText() {
  static const std::string empty;
  return empty;
}

std::unique_ptr<CHttpStack> MakeStack(std::string_view first, std::string_view second,
                                      std::string_view third, int kind) {
  auto stack = std::make_unique<CHttpStack>();
  stack->SetFirstToken(first);
  if (kind == kKindRequest) {
    stack->SetURL(second);
    stack->SetVersion(third);
  } else {
    stack->SetStatusCode(second);
    stack->SetReason(third);
  }
  stack->SetMessageKind(kind);
  stack->SetProtocol(FindHttpToken(first).protocol);
  return stack;
}

int MessageProtocol(const CHttpStack& stack) {
  // A response carries its version as the first token.
  const std::string& version =
      stack.MessageKind() == kKindResponse ? stack.FirstToken() : stack.Version();
  if (version.find("HTTP") != std::string::npos) return kProtocolHttp;
  if (version.find("RTSP") != std::string::npos) return kProtocolRtsp;
  if (version.find("SIP") != std::string::npos) return kProtocolSip;
  return stack.Protocol();
}

constexpr char kSdpContentType[] = "application/sdp";

// The description in an "application/sdp" body, or null; `*printed` gets
// its print as parsed.
std::unique_ptr<CQwSdp> SdpFromBody(const CHttpStack* stack, std::string* printed) {
  if (stack == nullptr || stack->Body().Length() == 0) return nullptr;
  const std::string* type = stack->Header().Find("Content-Type");
  if (type == nullptr || *type != kSdpContentType) return nullptr;
  auto sdp = std::make_unique<CQwSdp>();
  if (sdp->Parse(stack->Body().Data(), stack->Body().Length()).IsError()) return nullptr;
  if (sdp->Print(printed).IsError()) printed->clear();
  return sdp;
}

// A relayed response must not change on its way through: the body is
// printed anew only when the description no longer prints as it was parsed.
void PrintSdpIntoBody(CHttpStack* stack, CQwSdp* sdp, const std::string& as_received) {
  if (stack == nullptr || sdp == nullptr) return;
  std::string text;
  if (sdp->Print(&text).IsError() || text.empty() || text == as_received) return;
  stack->Header().Set("Content-Type", kSdpContentType);
  stack->SetBody(text.data(), static_cast<int>(text.size()));
}

}  // namespace

HTTPCommon::HTTPCommon(std::unique_ptr<CHttpStack> stack) : stack_(std::move(stack)) {}

HTTPCommon::~HTTPCommon() = default;

std::unique_ptr<HTTPCommon> HTTPCommon::Parse(const char* text, int length, int* status) {
  auto stack = std::make_unique<CHttpStack>();
  int result = stack->Parse(text, length);
  std::unique_ptr<HTTPCommon> message;
  if (result == kHttpJunk) {
    result = kHttpOk;
    message = std::make_unique<HTTPRequest>(std::move(stack));
  } else if (result == kHttpOk) {
    int protocol = MessageProtocol(*stack);
    bool request = stack->MessageKind() == kKindRequest;
    if (protocol == kProtocolHttp) {
      if (request) {
        message = std::make_unique<HTTPRequest>(std::move(stack));
      } else {
        message = std::make_unique<HTTPResponse>(std::move(stack));
      }
    } else if (protocol == kProtocolRtsp) {
      if (request) {
        message = std::make_unique<RTSPRequest>(std::move(stack));
      } else {
        message = std::make_unique<RTSPResponse>(std::move(stack));
      }
    }
  }
  if (status != nullptr) *status = result;
  return message;
}

const std::string& HTTPCommon::ToText() { return stack_ ? stack_->ToText() : EmptyText(); }

int HTTPCommon::GetMessageKind() const { return stack_ ? stack_->MessageKind() : kHttpNoStack; }

int HTTPCommon::GetProtocol() const { return stack_ ? MessageProtocol(*stack_) : kHttpNoStack; }

bool HTTPCommon::IsJunkPacket() const { return stack_ && stack_->IsJunkPacket(); }

int HTTPCommon::GetTotalLength() const { return stack_ ? stack_->TotalLength() : kHttpNoStack; }

std::string HTTPCommon::GetHeader(std::string_view name) const {
  if (!stack_) return {};
  const std::string* value = stack_->Header().Find(name);
  return value != nullptr ? *value : std::string();
}

int HTTPCommon::GetNumberHeader(std::string_view name) const {
  return stack_ ? stack_->GetNumberHeader(name) : kHttpNoStack;
}

void HTTPCommon::SetHeader(const char* name, const char* value) {
  if (stack_ && name != nullptr && value != nullptr) stack_->Header().Set(name, value);
}

void HTTPCommon::SetNumberHeader(std::string_view name, int value) {
  if (stack_) stack_->SetNumberHeader(name, value);
}

void HTTPCommon::SetURL(std::string_view url) {
  if (stack_) stack_->SetRequestURL(url);
}

std::string HTTPCommon::GetURL() const { return stack_ ? stack_->URL() : std::string(); }
std::string HTTPCommon::GetMethod() const { return stack_ ? stack_->FirstToken() : std::string(); }
std::string HTTPCommon::GetStatus() const { return stack_ ? stack_->StatusCode() : std::string(); }
std::string HTTPCommon::GetReason() const { return stack_ ? stack_->Reason() : std::string(); }
std::string HTTPCommon::GetVersion() const { return stack_ ? stack_->Version() : std::string(); }

std::string HTTPCommon::GetBody() const {
  return stack_ ? std::string(stack_->Body().View()) : std::string();
}

int HTTPCommon::SetBody(const char* data, int length) {
  return stack_ ? stack_->SetBody(data, length) : kHttpNoStack;
}

HTTPRequest::HTTPRequest(std::string_view url)
    : HTTPCommon(MakeStack("POST", url, "HTTP/1.1", kKindRequest)) {}

HTTPResponse::HTTPResponse(int status, std::string_view reason)
    : HTTPCommon(MakeStack("HTTP/1.1", std::to_string(status), reason, kKindResponse)) {}

HTTPResponse::HTTPResponse(std::unique_ptr<CHttpStack> stack)
    : HTTPCommon(std::move(stack)), sdp_(SdpFromBody(stack_.get(), &sdpAsReceived_)) {}

HTTPResponse::~HTTPResponse() = default;

const std::string& HTTPResponse::ToText() {
  PrintSdpIntoBody(stack_.get(), sdp_.get(), sdpAsReceived_);
  return HTTPCommon::ToText();
}

}  // namespace QWTools

RTSPRequest::RTSPRequest(std::string_view url, std::string_view method)
    : HTTPCommon(QWTools::MakeStack(method, url, "RTSP/1.0", QWTools::kKindRequest)) {}

RTSPResponse::RTSPResponse(int status, std::string_view reason)
    : HTTPCommon(
          QWTools::MakeStack("RTSP/1.0", std::to_string(status), reason, QWTools::kKindResponse)) {}

RTSPResponse::RTSPResponse(std::unique_ptr<QWTools::CHttpStack> stack)
    : HTTPCommon(std::move(stack)), sdp_(QWTools::SdpFromBody(stack_.get(), &sdpAsReceived_)) {}

RTSPResponse::~RTSPResponse() = default;

const std::string& RTSPResponse::ToText() {
  QWTools::PrintSdpIntoBody(stack_.get(), sdp_.get(), sdpAsReceived_);
  return HTTPCommon::ToText();
}
