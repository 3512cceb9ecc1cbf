// The parser's own rules; which class each operation becomes is checked by
// the sample table of every unit.
#include "protocol/message/ds_parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "protocol/message/session_pdus.h"
#include "tests/protocol/message_test_util.h"

namespace {

std::string Envelope(const std::string& operation, const std::string& type,
                     const std::string& body = "") {
  std::string text = kvr_test::Envelope(operation, true, body);
  return text.replace(text.find("request"), 7, type);
}

std::string HttpRequest(const std::string& xml) { return kvr_test::Http("KeepAlive", true, xml); }
std::string HttpResponse(const std::string& xml) { return kvr_test::Http("", false, xml); }

class ParserTest : public ::testing::Test {
 protected:
  void TearDown() override { parser_->SetMode(kPduModeHttp); }

  // Parses `text` in `mode`; the unit is held by the test.
  IZETAPDU* Parse(const std::string& text, int mode = kPduModeHttp) {
    parser_->SetMode(mode);
    IZETAPDU* unit = parser_->CreatePDU(text.c_str());
    if (unit != nullptr) {
      EXPECT_EQ(unit->ReferenceCount(), 0);
      held_.push_back(CReferPtr<IZETAPDU>(unit));
    }
    return unit;
  }

  CDsParser* parser_ = CDsParser::Instance();
  std::vector<CReferPtr<IZETAPDU>> held_;
};

TEST_F(ParserTest, OperationsWithoutAUnitGiveInvalidPackets) {
  EXPECT_EQ(parser_->GetMode(), kPduModeHttp);  // the singleton starts in HTTP mode
  for (const char* operation : {"NoSuchThing", "MediaData", "MediaInfoQuery", "Invalid_CmdId"}) {
    IZETAPDU* request = Parse(HttpRequest(Envelope(operation, "request")));
    ASSERT_TRUE(request && typeid(*request) == typeid(CInvalidPacket)) << operation;
    EXPECT_EQ(request->GetStatus() | parser_->GetLastError(), 0);
    IZETAPDU* response = Parse(HttpResponse(Envelope(operation, "response")));
    EXPECT_TRUE(response && typeid(*response) == typeid(CInvalidPacketAck)) << operation;
  }
  IZETAPDU* unit = held_[0].get();
  EXPECT_EQ(unit->GetCmdId(), -1);
  // It can still be answered.
  CReferPtr<IZETAPDU> ack(unit->CreateAck(kResultNotDistinguish));
  ASSERT_TRUE(ack);
  EXPECT_STREQ(ack->GetCommandName(), "Invalid_CmdId");
  EXPECT_THAT(kvr_test::Text(ack->ToBuffer()),
              testing::HasSubstr("<result code=\"9\">Not distinguish</result>"));
}

TEST_F(ParserTest, ModeZeroFollowsTheStartLine) {
  IZETAPDU* unit = Parse(HttpRequest(Envelope("Register", "response", "<cuId>x</cuId>")));
  auto* reg = dynamic_cast<CRegister*>(unit);
  ASSERT_NE(reg, nullptr);
  EXPECT_TRUE(std::string(reg->cuId) == "x" && unit->GetURLCommand() == "KeepAlive");

  unit = Parse(HttpResponse(Envelope("Register", "request", "<expires>5</expires>")));
  auto* ack = dynamic_cast<CRegisterAck*>(unit);
  EXPECT_TRUE(ack && ack->expires == 5);
}

TEST_F(ParserTest, ModeTwoFollowsTheHeadType) {
  IZETAPDU* unit = Parse(Envelope("Register", "request", "<cuId>x</cuId>"), kPduModeXml);
  ASSERT_NE(dynamic_cast<CRegister*>(unit), nullptr);
  EXPECT_EQ(unit->GetCarrierKind(), kCarrierBareXml);
  // The head's session and sequence reach the headers.
  EXPECT_EQ(unit->GetSession() + "/" + unit->GetSequence(), "12/7");
  for (const char* type : {"response", "Request", "", "anything"}) {
    unit = Parse(Envelope("Register", type), kPduModeXml);
    EXPECT_NE(dynamic_cast<CRegisterAck*>(unit), nullptr) << type;
  }
  // Bare XML that is no envelope: a reply-side invalid packet without command.
  unit = Parse("<pdu><head>", kPduModeXml);
  ASSERT_NE(dynamic_cast<CInvalidPacketAck*>(unit), nullptr);
  EXPECT_EQ(unit->GetCmdId(), kCmdNone);
  EXPECT_EQ(parser_->GetLastError(), 0);
  // A whole HTTP message handed over as bare XML is not XML.
  unit = Parse(HttpRequest(Envelope("KeepAlive", "request")), kPduModeXml);
  EXPECT_NE(dynamic_cast<CInvalidPacketAck*>(unit), nullptr);
}

TEST_F(ParserTest, UnreadableEnvelopesAndJunkBecomeInvalidPackets) {
  for (const std::string& text :
       {HttpRequest(""), HttpRequest("<<<"), HttpRequest("<pdu/>"),
        HttpRequest("<pdu><head><operation>KeepAlive</operation></head><body/></pdu>"),
        HttpRequest("<pdu><head><operation>KeepAlive</operation><type>request</type></head></pdu>"),
        "\x01\x02garbage" + HttpRequest(Envelope("KeepAlive", "request"))}) {
    IZETAPDU* unit = Parse(text);
    ASSERT_NE(unit, nullptr) << text;
    EXPECT_NE(dynamic_cast<CInvalidPacket*>(unit), nullptr) << text;
    EXPECT_EQ(unit->GetCmdId(), kCmdNone) << text;
    EXPECT_EQ(parser_->GetLastError(), 0);
  }
  EXPECT_EQ(held_.back()->ToBuffer(), nullptr);  // junk has nothing to print
  EXPECT_NE(dynamic_cast<CInvalidPacketAck*>(Parse(HttpResponse("<pdu/>"))), nullptr);
}

TEST_F(ParserTest, TextsThatAreNoMessageGiveNullAndTheirError) {
  EXPECT_EQ(parser_->CreatePDU(nullptr), nullptr);
  EXPECT_EQ(parser_->GetLastError(), kResultHttpParse);
  for (const char* text : {"", "POST /KeepAlive HTTP/1.1\r\nContent-Length: 100\r\n\r\n<pdu>",
                           "INVITE sip:a@b SIP/2.0\r\nContent-Length: 0\r\n\r\n"}) {
    EXPECT_EQ(Parse(text), nullptr) << text;
    EXPECT_EQ(parser_->GetLastError(), kResultHttpParse) << text;
  }
  EXPECT_EQ(Parse(Envelope("KeepAlive", "request"), 1), nullptr);
  EXPECT_EQ(parser_->GetLastError(), kResultNotDistinguish);
  // A good parse clears the last error.
  EXPECT_NE(Parse(HttpRequest(Envelope("KeepAlive", "request"))), nullptr);
  EXPECT_EQ(parser_->GetLastError(), 0);
}

TEST_F(ParserTest, LengthBoundTextNeedsNoTerminator) {
  std::string text = HttpRequest(Envelope("KeepAlive", "request", "<cuId>a</cuId>"));
  std::string padded = text + "POST /more";
  CReferPtr<IZETAPDU> unit(parser_->CreatePDU(padded.data(), static_cast<int>(text.size())));
  ASSERT_TRUE(unit);
  EXPECT_STREQ(dynamic_cast<CKeepAlive&>(*unit).cuId, "a");
}

}  // namespace
