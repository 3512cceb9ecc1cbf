// Feeds arbitrary bytes to the HTTP/RTSP message stack.
//
// Beyond "does not crash", every parse is checked against what the stack
// promises its callers: the lengths it reports stay inside the input and
// always move the reader forward, the fields come from the input, and a
// message that prints parses back to the same message of exactly the
// printed length.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "protocol/http/http_message.h"
#include "protocol/http/http_stack.h"

namespace {

using QWTools::CHttpStack;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool IsDelimiter(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\b' || c == '\f';
}

// A junk packet ends where a known token begins.
bool KnownTokenAt(std::string_view text) {
  for (const auto& table : QWTools::HttpTokenTables()) {
    for (const auto* list : {&table.methods, &table.versions}) {
      for (std::string_view token : *list) {
        if (text.size() > token.size() && text.starts_with(token) &&
            IsDelimiter(text[token.size()])) {
          return true;
        }
      }
    }
  }
  return false;
}

void CheckSameMessage(const CHttpStack& a, const CHttpStack& b) {
  Check(a.FirstToken() == b.FirstToken(), "first token survives printing");
  Check(a.URL() == b.URL(), "URL survives printing");
  Check(a.StatusCode() == b.StatusCode(), "status survives printing");
  Check(a.Reason() == b.Reason(), "reason survives printing");
  Check(a.Version() == b.Version(), "version survives printing");
  Check(a.MessageKind() == b.MessageKind(), "kind survives printing");
  Check(a.Protocol() == b.Protocol(), "protocol survives printing");
  Check(a.Header().Fields() == b.Header().Fields(), "headers survive printing");
  Check(a.Body().View() == b.Body().View(), "body survives printing");
}

void CheckParsed(const CHttpStack& stack, std::string_view input) {
  std::string_view start = stack.StartLine();
  const std::string& raw = stack.Header().RawText();
  Check(!start.empty() && input.starts_with(start), "start line is the input's first line");
  Check(input.substr(start.size()).starts_with(raw), "header text follows the start line");
  Check(raw.ends_with("\r\n"), "header text ends with the empty line");
  Check(!stack.Header().IsEmpty(), "a parsed message has headers");
  Check(
      stack.MessageKind() == QWTools::kKindRequest || stack.MessageKind() == QWTools::kKindResponse,
      "a parsed message is a request or a response");
  int total = stack.TotalLength();
  Check(total > 0 && static_cast<size_t>(total) <= input.size(), "total length within input");
  size_t head = start.size() + raw.size();
  Check(static_cast<size_t>(total) == head + stack.Body().View().size(), "total = head + body");
  Check(input.substr(head, stack.Body().View().size()) == stack.Body().View(),
        "body is the bytes after the headers");
  if (stack.Body().Data() != nullptr) {
    Check(stack.Body().Data()[stack.Body().Length()] == '\0', "body is NUL-terminated");
  }
}

void CheckRoundTrip(CHttpStack& stack) {
  const std::string printed = stack.ToText();
  if (printed.empty()) return;
  CHttpStack again;
  int status = again.Parse(printed.data(), static_cast<int>(printed.size()));
  Check(status == QWTools::kHttpOk, "printed message parses");
  Check(again.TotalLength() == static_cast<int>(printed.size()), "printed message is whole");
  CheckSameMessage(stack, again);
  Check(again.ToText() == printed, "printing is stable");
}

void CheckWrapper(std::string_view input, const CHttpStack& stack, int stack_status) {
  int status = 1;
  auto message = QWTools::HTTPCommon::Parse(input.data(), static_cast<int>(input.size()), &status);
  if (stack_status == QWTools::kHttpJunk) {
    Check(status == QWTools::kHttpOk && message != nullptr && message->IsJunkPacket(),
          "junk comes back as a junk request");
    Check(dynamic_cast<QWTools::HTTPRequest*>(message.get()) != nullptr, "junk is a request");
    return;
  }
  Check(status == stack_status, "wrapper status matches the stack's");
  if (message == nullptr) {
    if (status == QWTools::kHttpOk) {
      const std::string& version =
          stack.MessageKind() == QWTools::kKindResponse ? stack.FirstToken() : stack.Version();
      bool handled = version.find("HTTP") != std::string::npos ||
                     version.find("RTSP") != std::string::npos ||
                     (version.find("SIP") == std::string::npos &&
                      (stack.Protocol() == QWTools::kProtocolHttp ||
                       stack.Protocol() == QWTools::kProtocolRtsp));
      Check(!handled, "an HTTP or RTSP message always gets a wrapper");
    }
    return;
  }
  int protocol = message->GetProtocol();
  bool request = message->GetMessageKind() == QWTools::kKindRequest;
  bool http = dynamic_cast<QWTools::HTTPRequest*>(message.get()) != nullptr ||
              dynamic_cast<QWTools::HTTPResponse*>(message.get()) != nullptr;
  bool rtsp = dynamic_cast<RTSPRequest*>(message.get()) != nullptr ||
              dynamic_cast<RTSPResponse*>(message.get()) != nullptr;
  Check(protocol == QWTools::kProtocolHttp ? http : rtsp, "wrapper type follows the protocol");
  Check(request == (dynamic_cast<QWTools::HTTPRequest*>(message.get()) != nullptr ||
                    dynamic_cast<RTSPRequest*>(message.get()) != nullptr),
        "wrapper type follows the kind");
  Check(message->GetNumberHeader("Content-Length") == stack.GetNumberHeader("Content-Length"),
        "wrapper reads the same headers");
  Check(message->GetBody() == stack.Body().View(), "wrapper reads the same body");

  // A response carrying a description is relayed with its body untouched;
  // that message reads back as a response with a description again.
  CQwSdp* sdp = nullptr;
  if (auto* http = dynamic_cast<QWTools::HTTPResponse*>(message.get())) sdp = http->GetSdp();
  if (auto* rtsp = dynamic_cast<RTSPResponse*>(message.get())) sdp = rtsp->GetSdp();
  if (sdp == nullptr) return;
  const std::string printed = message->ToText();
  Check(message->GetBody() == stack.Body().View(),
        "an unchanged description leaves the body as received");
  if (printed.empty()) return;
  int again_status = 1;
  auto again =
      QWTools::HTTPCommon::Parse(printed.data(), static_cast<int>(printed.size()), &again_status);
  Check(again_status == QWTools::kHttpOk && again != nullptr, "response with SDP parses back");
  CQwSdp* again_sdp = nullptr;
  if (auto* http = dynamic_cast<QWTools::HTTPResponse*>(again.get())) again_sdp = http->GetSdp();
  if (auto* rtsp = dynamic_cast<RTSPResponse*>(again.get())) again_sdp = rtsp->GetSdp();
  Check(again_sdp != nullptr && again_sdp->MediaCount() == sdp->MediaCount(),
        "the description survives printing");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  std::string_view input(reinterpret_cast<const char*>(data), size);

  CHttpStack stack;
  int status = stack.Parse(input.data(), static_cast<int>(input.size()));
  switch (status) {
    case QWTools::kHttpOk:
      CheckParsed(stack, input);
      CheckRoundTrip(stack);
      break;
    case QWTools::kHttpJunk: {
      int junk = stack.TotalLength();
      Check(junk > 0 && static_cast<size_t>(junk) < input.size(), "junk inside the input");
      Check(stack.IsJunkPacket(), "junk is marked");
      Check(KnownTokenAt(input.substr(junk)), "junk ends at a known token");
      Check(stack.ToText().empty(), "junk never prints");
      break;
    }
    case QWTools::kHttpIncomplete:
      break;
    default:
      Check(false, "unexpected parse status");
  }
  CheckWrapper(input, stack, status);

  // A reader that skips every junk packet and message it is given always
  // moves on, and stops at the first incomplete rest.
  size_t at = 0;
  while (at < input.size()) {
    CHttpStack next;
    int s = next.Parse(input.data() + at, static_cast<int>(input.size() - at));
    if (s != QWTools::kHttpOk && s != QWTools::kHttpJunk) break;
    int took = next.TotalLength();
    Check(took > 0 && static_cast<size_t>(took) <= input.size() - at, "reader moves forward");
    at += static_cast<size_t>(took);
  }
  return 0;
}
