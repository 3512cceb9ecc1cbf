#include "protocol/http_message.h"

#include <gtest/gtest.h>

#include <string>

namespace QWTools {
namespace {

std::unique_ptr<HTTPCommon> ParseText(const std::string& text, int* status) {
  return HTTPCommon::Parse(text.data(), static_cast<int>(text.size()), status);
}

TEST(HttpMessageTest, ParseGivesTheWrapperOfProtocolAndKind) {
  int status = 1;
  auto message = ParseText("POST /Register HTTP/1.1\r\nContent-Length: 0\r\n\r\n", &status);
  EXPECT_EQ(status, kHttpOk);
  EXPECT_NE(dynamic_cast<HTTPRequest*>(message.get()), nullptr);

  message = ParseText("HTTP/1.0 500 Internal Error\r\n\r\n", &status);
  ASSERT_NE(dynamic_cast<HTTPResponse*>(message.get()), nullptr);
  EXPECT_EQ(message->GetStatus(), "500");
  EXPECT_EQ(message->GetReason(), "Internal Error");
  EXPECT_EQ(message->GetNumberHeader("Content-Length"), 0);
  EXPECT_EQ(message->GetProtocol(), kProtocolHttp);
  EXPECT_EQ(message->GetMessageKind(), kKindResponse);

  message = ParseText("RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n", &status);
  EXPECT_NE(dynamic_cast<RTSPResponse*>(message.get()), nullptr);
  EXPECT_EQ(message->GetProtocol(), kProtocolRtsp);

  // A method of the RTSP table with an HTTP version is an HTTP request.
  message = ParseText("DESCRIBE /x HTTP/1.1\r\nA: b\r\n\r\n", &status);
  EXPECT_NE(dynamic_cast<HTTPRequest*>(message.get()), nullptr);
  EXPECT_EQ(message->GetProtocol(), kProtocolHttp);
  EXPECT_EQ(message->GetStack()->Protocol(), kProtocolRtsp);
}

TEST(HttpMessageTest, OptionsWithRtspVersionIsAnRtspRequest) {
  int status = 1;
  auto message = ParseText("OPTIONS rtsp://10.0.0.5/live RTSP/1.0\r\nCSeq: 1\r\n\r\n", &status);
  EXPECT_EQ(status, kHttpOk);
  ASSERT_NE(dynamic_cast<RTSPRequest*>(message.get()), nullptr);
  EXPECT_EQ(message->GetStack()->Protocol(), kProtocolHttp);  // found in the HTTP table first
  EXPECT_EQ(message->GetProtocol(), kProtocolRtsp);           // but its version says RTSP
  EXPECT_EQ(message->GetMethod(), "OPTIONS");
  EXPECT_EQ(message->GetURL(), "rtsp://10.0.0.5/live");
  EXPECT_EQ(message->GetVersion(), "RTSP/1.0");
  EXPECT_EQ(message->GetHeader("CSeq"), "1");
}

TEST(HttpMessageTest, JunkComesBackAsARequestToSkip) {
  const std::string text = "abcPOST /KeepAlive HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
  int status = 1;
  auto junk = ParseText(text, &status);
  EXPECT_EQ(status, kHttpOk);
  ASSERT_NE(dynamic_cast<HTTPRequest*>(junk.get()), nullptr);
  EXPECT_TRUE(junk->IsJunkPacket());
  EXPECT_EQ(junk->GetTotalLength(), 3);

  auto message = HTTPCommon::Parse(text.data() + 3, static_cast<int>(text.size() - 3), &status);
  EXPECT_EQ(status, kHttpOk);
  ASSERT_NE(message, nullptr);
  EXPECT_FALSE(message->IsJunkPacket());
  EXPECT_EQ(message->GetURL(), "/KeepAlive");
  EXPECT_EQ(message->GetTotalLength(), static_cast<int>(text.size() - 3));
}

TEST(HttpMessageTest, FailuresAndSipGiveNoWrapper) {
  int status = 1;
  EXPECT_EQ(HTTPCommon::Parse(nullptr, 0, &status), nullptr);
  EXPECT_EQ(status, kHttpNoText);
  EXPECT_EQ(ParseText("POST /a HTTP/1.1\r\nContent-Len", &status), nullptr);
  EXPECT_EQ(status, kHttpIncomplete);
  EXPECT_EQ(ParseText("nothing known here", &status), nullptr);
  EXPECT_EQ(status, kHttpIncomplete);
  // SIP parses, but this service has no wrapper for it.
  EXPECT_EQ(ParseText("SIP/2.0 200 OK\r\n\r\n", &status), nullptr);
  EXPECT_EQ(status, kHttpOk);
  EXPECT_EQ(HTTPCommon::Parse("x", 1, nullptr), nullptr);  // the status is optional
}

TEST(HttpMessageTest, KeepAliveRequestPrintsInHeaderOrder) {
  HTTPRequest request("/KeepAlive");
  request.SetHeader("Content-Type", "text/xml");
  request.SetHeader("User-Agent", "Vestramox Middle Ware 2.1");
  request.SetHeader("x_Protocol_Version", "1.0");
  const std::string body(262, 'b');
  EXPECT_EQ(request.SetBody(body.data(), 262), 262);
  EXPECT_EQ(request.ToText(),
            "POST /KeepAlive HTTP/1.1\r\n"
            "Content-Length: 262\r\n"
            "Content-Type: text/xml\r\n"
            "User-Agent: Vestramox Middle Ware 2.1\r\n"
            "x_Protocol_Version: 1.0\r\n"
            "\r\n" +
                body);
}

TEST(HttpMessageTest, HeadersSetInAnyOrderPrintSorted) {
  RTSPRequest request("rtsp://cam/stream", "SETUP");
  request.SetHeader("User-Agent", "kvr");
  request.SetHeader("CSeq", "7");
  EXPECT_EQ(request.ToText(),
            "SETUP rtsp://cam/stream RTSP/1.0\r\nCSeq: 7\r\nUser-Agent: kvr\r\n\r\n");
  request.SetHeader("CSeq", "8");  // replaces
  request.SetHeader("Ignored", nullptr);
  request.SetHeader(nullptr, "x");
  EXPECT_EQ(request.ToText(),
            "SETUP rtsp://cam/stream RTSP/1.0\r\nCSeq: 8\r\nUser-Agent: kvr\r\n\r\n");
  EXPECT_EQ(request.GetProtocol(), kProtocolRtsp);
}

TEST(HttpMessageTest, ResponsesPrintOnlyWithAReason) {
  HTTPResponse ok(200, "OK");
  EXPECT_EQ(ok.ToText(), "HTTP/1.1 200 OK\r\n\r\n");
  HTTPResponse empty(200, "");
  EXPECT_EQ(empty.ToText(), "");
  RTSPResponse rtsp(-1, "Odd");
  EXPECT_EQ(rtsp.ToText(), "RTSP/1.0 -1 Odd\r\n\r\n");
}

TEST(HttpMessageTest, ContentLengthFoundAsNumberButNotAsText) {
  int status = 1;
  auto message = ParseText("HTTP/1.1 200 OK\r\nContent-length: 5\r\n\r\nhello", &status);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->GetNumberHeader("Content-Length"), 5);
  EXPECT_EQ(message->GetHeader("Content-Length"), "");
  EXPECT_EQ(message->GetHeader("Content-length"), "5");
  EXPECT_EQ(message->GetBody(), "hello");
  EXPECT_EQ(message->GetTotalLength(), 43);
}

TEST(HttpMessageTest, SetURLMakesAnHttpPost) {
  RTSPRequest request("rtsp://a", "PLAY");
  request.SetURL("/StoreConfigGet");
  EXPECT_EQ(request.GetMethod(), "POST");
  EXPECT_EQ(request.GetVersion(), "HTTP/1.1");
  EXPECT_EQ(request.GetMessageKind(), kKindRequest);
  request.SetNumberHeader("Content-Length", -3);
  EXPECT_EQ(request.GetHeader("Content-Length"), "-3");
  EXPECT_EQ(request.ToText(), "POST /StoreConfigGet HTTP/1.1\r\nContent-Length: -3\r\n\r\n");
}

TEST(HttpMessageTest, WrapperWithoutStackAnswersNoStack) {
  HTTPCommon none(nullptr);
  EXPECT_EQ(none.GetMessageKind(), kHttpNoStack);
  EXPECT_EQ(none.GetProtocol(), kHttpNoStack);
  EXPECT_EQ(none.GetTotalLength(), kHttpNoStack);
  EXPECT_EQ(none.GetNumberHeader("Content-Length"), kHttpNoStack);
  EXPECT_EQ(none.SetBody("x", 1), kHttpNoStack);
  EXPECT_FALSE(none.IsJunkPacket());
  EXPECT_EQ(none.GetHeader("A"), "");
  EXPECT_EQ(none.GetURL(), "");
  EXPECT_EQ(none.GetBody(), "");
  EXPECT_EQ(none.ToText(), "");
  none.SetHeader("A", "b");
  none.SetURL("/x");
  none.SetNumberHeader("N", 1);
}

}  // namespace
}  // namespace QWTools
