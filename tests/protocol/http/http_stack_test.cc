#include "protocol/http/http_stack.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>

#include "tests/protocol/message_test_util.h"

namespace QWTools {
namespace {

using kvr_test::Join;

int ParseText(CHttpStack& stack, const std::string& text) {
  return stack.Parse(text.data(), static_cast<int>(text.size()));
}

TEST(HttpStackTest, StatusAndTotalLengthOfWholeAndPartialTexts) {
  const std::string no_token = "just some bytes\r\n\r\nwith no start line";
  const std::tuple<std::string, int, int, int> cases[] = {
      {"", kHttpNoText, 0, 0},
      {no_token, kHttpIncomplete, static_cast<int>(no_token.size()), 0},
      {"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n123456789", kHttpIncomplete, 49, 0},
      // A length beyond any buffer never completes and does not overflow the total.
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\nx", kHttpIncomplete, INT_MAX, 0},
      // A negative length counts as no body.
      {"POST / HTTP/1.1\r\nContent-Length: -40\r\n\r\nabc", kHttpOk, 40, 0},
      {"HTTP/1.1 200 OK\r\n\r\n", kHttpOk, 19, 0},
  };
  for (const auto& [text, status, total, body] : cases) {
    CHttpStack stack;
    EXPECT_EQ(ParseText(stack, text), status) << text;
    EXPECT_EQ(status == kHttpNoText ? total : stack.TotalLength(), total) << text;
    EXPECT_EQ(stack.Body().Length(), body) << text;
  }
  CHttpStack stack;
  EXPECT_EQ(stack.Parse(nullptr, 10), kHttpNoText);
  EXPECT_EQ(stack.Parse("GET / HTTP/1.1\r\n\r\n", -1), kHttpNoText);
  // Length 0 reads up to the NUL.
  EXPECT_EQ(stack.Parse("GET /a HTTP/1.0\r\nHost: x\r\n\r\nignored", 0), kHttpOk);
  EXPECT_EQ(stack.TotalLength(), 28);
  // A response without headers gets "Content-Length: 0".
  ASSERT_EQ(ParseText(stack, "HTTP/1.1 200 OK\r\n\r\n"), kHttpOk);
  ASSERT_EQ(stack.Header().Fields().size(), 1u);
  EXPECT_EQ(*stack.Header().Find("Content-Length"), "0");
}

TEST(HttpStackTest, StartLineHeadersAndNumberHeaders) {
  CHttpStack stack;
  ASSERT_EQ(ParseText(stack, "POST /KeepAlive HTTP/1.1\r\nA: b\r\n\r\n"), kHttpOk);
  EXPECT_EQ(Join(stack.MessageKind(), stack.URL(), stack.Version()),
            Join(kKindRequest, "/KeepAlive", "HTTP/1.1"));

  // The reason is everything after the second blank, blanks included.
  ASSERT_EQ(ParseText(stack, "RTSP/1.0 454 Session Not Found\r\nCSeq: 3\r\n\r\n"), kHttpOk);
  EXPECT_EQ(Join(stack.MessageKind(), stack.Protocol(), stack.StatusCode(), stack.Reason()),
            Join(kKindResponse, kProtocolRtsp, "454", "Session Not Found"));

  ASSERT_EQ(ParseText(stack, "INVITE sip:a@b SIP/2.0\r\nVia: x\r\n\r\n"), kHttpOk);
  EXPECT_EQ(stack.Protocol(), kProtocolSip);

  // Headers are trimmed and the last of a repeated name wins.
  ASSERT_EQ(ParseText(stack,
                      "GET / HTTP/1.1\r\n \tHost \t:  example:80 \f\r\nX:1\r\nX: 2\r\n"
                      "Empty:\r\n\r\n"),
            kHttpOk);
  EXPECT_EQ(*stack.Header().Find("Host") + "|" + *stack.Header().Find("X") + "|" +
                *stack.Header().Find("Empty"),
            "example:80|2|");  // split at the first ':
  EXPECT_EQ(Join(stack.Header().Fields().size(), stack.Header().RawText()),
            Join(3, " \tHost \t:  example:80 \f\r\nX:1\r\nX: 2\r\nEmpty:\r\n\r\n"));

  // A number header falls back to the lower-cased name; only upper case after '-' is lowered.
  ASSERT_EQ(ParseText(stack,
                      "POST / HTTP/1.1\r\nContent-length: 4\r\nX-Big-Id: 12\r\nX-odd-iD: 5\r\n"
                      "\r\nbody"),
            kHttpOk);
  EXPECT_EQ(Join(stack.Body().View(), !stack.Header().Find("Content-Length"),
                 stack.GetNumberHeader("Content-Length"), stack.GetNumberHeader("X-big-id"),
                 stack.GetNumberHeader("X-Big-Id"), stack.GetNumberHeader("X-Odd-ID")),
            Join("body", true, 4, 0, 12, 5));
  stack.Header().Set("Content-Length", "7");  // the exact name is asked first
  EXPECT_EQ(stack.GetNumberHeader("Content-Length"), 7);
}

TEST(HttpStackTest, JunkBeforeAMessageIsAJunkPacketUpToTheFirstTableToken) {
  const std::string text = "\x01\xff\nPOST /KeepAlive HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
  CHttpStack stack;
  ASSERT_EQ(ParseText(stack, text), kHttpJunk);
  // A junk packet is never printed.
  EXPECT_EQ(Join(stack.IsJunkPacket(), stack.FirstToken(), stack.MessageKind(), stack.StartLine(),
                 stack.TotalLength()),
            Join(true, kJunkPacketToken, kKindRequest, text.substr(0, 3), 3));
  EXPECT_EQ(stack.ToText(), "");
  ASSERT_EQ(stack.Parse(text.data() + 3, static_cast<int>(text.size() - 3)), kHttpOk);
  EXPECT_EQ(stack.URL(), "/KeepAlive");

  // "GET" comes before "POST" in the table, so the junk runs up to the GET.
  const std::string two = "xx POST /a HTTP/1.1\r\nX: 1\r\n\r\nGET /b HTTP/1.1\r\n\r\n";
  ASSERT_EQ(ParseText(stack, two), kHttpJunk);
  EXPECT_EQ(std::tuple(stack.TotalLength(), stack.Protocol()),
            std::tuple(static_cast<int>(two.find("GET")), kProtocolHttp));
  // A token must be followed by a blank, tab, CR, LF, backspace or form feed.
  ASSERT_EQ(ParseText(stack, "zzPOSTAL RTSP/1.0\t"), kHttpJunk);
  EXPECT_EQ(std::tuple(stack.TotalLength(), stack.Protocol()), std::tuple(9, kProtocolRtsp));
}

TEST(HttpStackTest, BrokenStartOrHeaderLinesNeverMakeAnEmptyJunkPacket) {
  // Each of these is refused at the first byte; the junk search then looks
  // further on, and feeding the stack its own totals always ends.
  for (const std::string text : {"GET \r\n\r\nGET / HTTP/1.1\r\n\r\n", "HTTP/1.1  OK\r\n\r\n",
                                 "POST / HTTP/1.1\r\nno colon here\r\n\r\n",
                                 "POST / HTTP/1.1\r\n: no name\r\n\r\n", "GET"}) {
    size_t at = 0;
    int rounds = 0;
    while (at < text.size()) {
      CHttpStack stack;
      int status = stack.Parse(text.data() + at, static_cast<int>(text.size() - at));
      if (status == kHttpIncomplete) break;
      ASSERT_GT(stack.TotalLength(), 0) << text;
      at += stack.TotalLength();
      ASSERT_LT(++rounds, 100) << text;
    }
  }
  CHttpStack stack;
  EXPECT_EQ(ParseText(stack, "POST / HTTP/1.1\r\nno colon here\r\n\r\n"), kHttpJunk);
  EXPECT_EQ(stack.TotalLength(), 7);  // up to "HTTP/1.1"
}

TEST(HttpStackTest, PrintsHeadersInByteOrderOfTheirNamesAndOnlyWholeStartLines) {
  CHttpStack stack;
  stack.SetRequestURL("/x");
  for (const char* name : {"x_Protocol_Version", "User-Agent", "Set-Cookie", "Session", "Date",
                           "Cookie", "Content-Type", "Content-Length", "CSeq"}) {
    stack.Header().Set(name, "v");
  }
  EXPECT_EQ(stack.ToText(),
            "POST /x HTTP/1.1\r\nCSeq: v\r\nContent-Length: v\r\nContent-Type: v\r\n"
            "Cookie: v\r\nDate: v\r\nSession: v\r\nSet-Cookie: v\r\nUser-Agent: v\r\n"
            "x_Protocol_Version: v\r\n\r\n");

  // Printing needs every part of the start line.
  CHttpStack start;
  start.SetFirstToken("HTTP/1.1"), start.SetStatusCode("200");
  EXPECT_EQ(start.ToText(), "");  // no reason
  start.SetReason("OK");
  EXPECT_EQ(start.ToText(), "HTTP/1.1 200 OK\r\n\r\n");
  EXPECT_EQ(start.MessageKind(), kKindResponse);

  start.SetFirstToken("FETCH");  // not a known token
  EXPECT_EQ(start.ToText(), "");
  start.SetFirstToken("DESCRIBE");  // and then no URL, no version
  EXPECT_EQ(start.ToText(), "");
  start.SetURL("rtsp://cam/1");
  EXPECT_EQ(start.ToText(), "");
  start.SetVersion("RTSP/1.0");
  EXPECT_EQ(start.ToText(), "DESCRIBE rtsp://cam/1 RTSP/1.0\r\n\r\n");
  EXPECT_EQ(start.MessageKind(), kKindRequest);
}

TEST(HttpStackTest, SetBodyCopiesAndSetsTheLength) {
  CHttpStack stack;
  stack.SetRequestURL("/x");
  EXPECT_EQ(stack.SetBody("<pdu/>", 0), 6);
  EXPECT_EQ(*stack.Header().Find("Content-Length"), "6");
  const char binary[] = {'a', '\0', 'b'};
  EXPECT_EQ(stack.SetBody(binary, 3), 3);
  EXPECT_EQ(stack.Body().View(), std::string_view(binary, 3));
  EXPECT_EQ(stack.SetBody("abc", -1), -1);
  // Setting the body from its own bytes is safe.
  EXPECT_EQ(stack.SetBody(stack.Body().Data() + 2, 1), 1);
  EXPECT_EQ(stack.Body().View(), "b");
  EXPECT_EQ(stack.SetBody(nullptr, 0), 0);
  EXPECT_TRUE(*stack.Header().Find("Content-Length") == "0" && stack.Body().Data() == nullptr);
}

}  // namespace
}  // namespace QWTools
