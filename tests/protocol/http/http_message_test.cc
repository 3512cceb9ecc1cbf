#include "protocol/http/http_message.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/protocol/message_test_util.h"

namespace QWTools {
namespace {

using kvr_test::Join;

std::unique_ptr<HTTPCommon> ParseText(const std::string& text, int* status) {
  return HTTPCommon::Parse(text.data(), static_cast<int>(text.size()), status);
}

TEST(HttpMessageTest, ParseGivesTheWrapperOfProtocolAndKind) {
  int status = 1;
  auto message = ParseText("POST /Register HTTP/1.1\r\nContent-Length: 0\r\n\r\n", &status);
  EXPECT_TRUE(status == kHttpOk && dynamic_cast<HTTPRequest*>(message.get()));

  message = ParseText("HTTP/1.0 500 Internal Error\r\n\r\n", &status);
  ASSERT_NE(dynamic_cast<HTTPResponse*>(message.get()), nullptr);
  EXPECT_EQ(message->GetReason(), "Internal Error");

  message = ParseText("RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n", &status);
  ASSERT_NE(dynamic_cast<RTSPResponse*>(message.get()), nullptr);
  EXPECT_EQ(message->GetProtocol(), kProtocolRtsp);

  // A method of the RTSP table with an HTTP version is an HTTP request.
  message = ParseText("DESCRIBE /x HTTP/1.1\r\nA: b\r\n\r\n", &status);
  ASSERT_NE(dynamic_cast<HTTPRequest*>(message.get()), nullptr);
  EXPECT_EQ(Join(message->GetProtocol(), message->GetStack()->Protocol()),
            Join(kProtocolHttp, kProtocolRtsp));

  message = ParseText("OPTIONS rtsp://10.0.0.5/live RTSP/1.0\r\nCSeq: 1\r\n\r\n", &status);
  ASSERT_NE(dynamic_cast<RTSPRequest*>(message.get()), nullptr);
  // Found in the HTTP table first, but its version says RTSP.
  EXPECT_EQ(Join(message->GetStack()->Protocol(), message->GetProtocol(), message->GetURL()),
            Join(kProtocolHttp, kProtocolRtsp, "rtsp://10.0.0.5/live"));
}

TEST(HttpMessageTest, FailuresAndSipGiveNoWrapper) {
  int status = 1;
  EXPECT_TRUE(!HTTPCommon::Parse(nullptr, 0, &status) && status == kHttpNoText);
  // SIP parses, but this service has no wrapper for it.
  for (auto [text, want] : {std::pair{"POST /a HTTP/1.1\r\nContent-Len", kHttpIncomplete},
                            {"nothing known here", kHttpIncomplete},
                            {"SIP/2.0 200 OK\r\n\r\n", kHttpOk}}) {
    EXPECT_TRUE(!ParseText(text, &status) && status == want) << text;
  }
  EXPECT_EQ(HTTPCommon::Parse("x", 1, nullptr), nullptr);  // the status is optional
}

TEST(HttpMessageTest, HeadersReplaceAndSetURLMakesAnHttpPost) {
  RTSPRequest request("rtsp://cam/stream", "SETUP");
  request.SetHeader("CSeq", "7");
  request.SetHeader("CSeq", "8");
  request.SetHeader("Ignored", nullptr), request.SetHeader(nullptr, "x");
  EXPECT_EQ(request.ToText(), "SETUP rtsp://cam/stream RTSP/1.0\r\nCSeq: 8\r\n\r\n");
  request.SetURL("/StoreConfigGet");
  request.SetNumberHeader("Content-Length", -3);
  EXPECT_EQ(request.ToText(),
            "POST /StoreConfigGet HTTP/1.1\r\nCSeq: 8\r\nContent-Length: -3\r\n\r\n");

  // A wrapper without a stack answers that it has none.
  HTTPCommon none(nullptr);
  none.SetHeader("A", "b"), none.SetURL("/x"), none.SetNumberHeader("N", 1);
  EXPECT_TRUE(none.GetTotalLength() == kHttpNoStack && none.SetBody("x", 1) == kHttpNoStack);
  EXPECT_EQ(none.GetHeader("A") + none.ToText(), "");
}

}  // namespace
}  // namespace QWTools
