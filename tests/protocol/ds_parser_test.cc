#include "protocol/ds_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "protocol/session_pdus.h"
#include "protocol/store_pdus.h"

namespace {

std::string Envelope(const std::string& operation, const std::string& type,
                     const std::string& body = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<pdu><head><operation>" + operation +
         "</operation><type>" + type +
         "</type><session>12</session><sequence>7</sequence><result code=\"0\">Sucess</result>"
         "</head><body>" +
         body + "</body></pdu>\n";
}

std::string HttpRequest(const std::string& xml, const std::string& command = "KeepAlive") {
  return "POST /" + command + " HTTP/1.1\r\nContent-Length: " + std::to_string(xml.size()) +
         "\r\nContent-Type: text/xml\r\nCSeq: 7\r\n\r\n" + xml;
}

std::string HttpResponse(const std::string& xml) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(xml.size()) + "\r\n\r\n" + xml;
}

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

TEST_F(ParserTest, TheSingletonStartsInHttpMode) {
  EXPECT_EQ(CDsParser::Instance(), CSingleton<CDsParser>::Instance());
  EXPECT_EQ(parser_->GetMode(), kPduModeHttp);
}

TEST_F(ParserTest, KeepAliveRequestOverHttp) {
  IZETAPDU* unit = Parse(HttpRequest(Envelope(
      "KeepAlive", "request",
      "<cuId>client-01</cuId><cuName>operator</cuName><keepAlivePeriod>30</keepAlivePeriod>")));
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(parser_->GetLastError(), 0);
  auto* keepAlive = dynamic_cast<CKeepAlive*>(unit);
  ASSERT_NE(keepAlive, nullptr);
  EXPECT_STREQ(keepAlive->cuId, "client-01");
  EXPECT_STREQ(keepAlive->cuName, "operator");
  EXPECT_EQ(keepAlive->keepAlivePeriod, 30);
  EXPECT_EQ(unit->GetCarrierKind(), kCarrierHttp);
  EXPECT_EQ(unit->GetSequence(), "7");
  EXPECT_STREQ(unit->GetCommandName(), "KeepAlive");
  EXPECT_EQ(unit->GetURLCommand(), "KeepAlive");
}

TEST_F(ParserTest, EveryUnitOfThisServiceHasItsClassBothWays) {
  struct Row {
    const char* operation;
    const std::type_info& request;
    const std::type_info& response;
  } rows[] = {
      {"Register", typeid(CRegister), typeid(CRegisterAck)},
      {"KeepAlive", typeid(CKeepAlive), typeid(CKeepAliveAck)},
      {"StoreConfigGet", typeid(CGetKVRCngParams), typeid(CGetKVRCngParamsAck)},
      {"StoreConfigSet", typeid(CSetKVRCngParams), typeid(CSetKVRCngParamsAck)},
      {"RecRealMedia", typeid(CRecordMedia), typeid(CRecordMediaAck)},
      {"RecRealMediaControl", typeid(CRecordMediaControl), typeid(CRecordMediaControlAck)},
      {"DeleteRecRealMedia", typeid(CDelRecordMedia), typeid(CDelRecordMediaAck)},
      {"QueryRealMediaRecStatus", typeid(CQueryRecordStatus), typeid(CQueryRecordStatusAck)},
      {"RecordEvent", typeid(CRecordEvent), typeid(CRecordEventAck)},
      {"RecRealMediaSaveAs", typeid(CRecordMediaSaveAs), typeid(CRecordMediaSaveAsAck)},
      {"MediaData", typeid(CInvalidPacket), typeid(CInvalidPacketAck)},
      {"MediaInfoQuery", typeid(CInvalidPacket), typeid(CInvalidPacketAck)},
      {"Invalid_CmdId", typeid(CInvalidPacket), typeid(CInvalidPacketAck)},
  };
  for (const Row& row : rows) {
    IZETAPDU* request = Parse(HttpRequest(Envelope(row.operation, "request")));
    ASSERT_NE(request, nullptr) << row.operation;
    EXPECT_EQ(typeid(*request), row.request) << row.operation;
    EXPECT_EQ(request->GetMessageKind(), SvrFrame::kRequestMessage);
    IZETAPDU* response = Parse(HttpResponse(Envelope(row.operation, "response")));
    ASSERT_NE(response, nullptr) << row.operation;
    EXPECT_EQ(typeid(*response), row.response) << row.operation;
    EXPECT_EQ(response->GetMessageKind(), SvrFrame::kReplyMessage);
    // Each request answers with its own reply class.
    CReferPtr<IZETAPDU> ack(request->CreateAck(0));
    ASSERT_TRUE(ack) << row.operation;
    EXPECT_EQ(typeid(*ack), row.response) << row.operation;
  }
}

TEST_F(ParserTest, UnknownOperationGivesAnInvalidPacket) {
  IZETAPDU* unit = Parse(HttpRequest(Envelope("NoSuchThing", "request")));
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(parser_->GetLastError(), 0);
  EXPECT_EQ(unit->GetStatus(), 0);
  EXPECT_NE(dynamic_cast<CInvalidPacket*>(unit), nullptr);
  EXPECT_EQ(unit->GetCmdId(), -1);
  EXPECT_STREQ(unit->GetCommandName(), "Invalid_CmdId");
  // It can still be answered.
  CReferPtr<IZETAPDU> ack(unit->CreateAck(kResultNotDistinguish));
  ASSERT_TRUE(ack);
  EXPECT_STREQ(ack->GetCommandName(), "Invalid_CmdId");
  auto text = ack->ToBuffer();
  ASSERT_TRUE(text);
  EXPECT_NE(std::string(text->Data()).find("<result code=\"9\">Not distinguish</result>"),
            std::string::npos);
}

TEST_F(ParserTest, ModeZeroFollowsTheStartLine) {
  IZETAPDU* unit = Parse(HttpRequest(Envelope("Register", "response", "<cuId>x</cuId>")));
  ASSERT_NE(unit, nullptr);
  auto* reg = dynamic_cast<CRegister*>(unit);
  ASSERT_NE(reg, nullptr);
  EXPECT_STREQ(reg->cuId, "x");

  unit = Parse(HttpResponse(Envelope("Register", "request", "<expires>5</expires>")));
  auto* ack = dynamic_cast<CRegisterAck*>(unit);
  ASSERT_NE(ack, nullptr);
  EXPECT_EQ(ack->expires, 5);
}

TEST_F(ParserTest, ModeTwoFollowsTheHeadType) {
  IZETAPDU* unit = Parse(Envelope("Register", "request", "<cuId>x</cuId>"), kPduModeXml);
  ASSERT_NE(dynamic_cast<CRegister*>(unit), nullptr);
  EXPECT_EQ(unit->GetCarrierKind(), kCarrierBareXml);
  // The head's session and sequence reach the headers.
  EXPECT_EQ(unit->GetSession(), "12");
  EXPECT_EQ(unit->GetSequence(), "7");
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

TEST_F(ParserTest, UnreadableEnvelopesBecomeInvalidPackets) {
  for (const std::string& xml :
       {std::string(""), std::string("<<<"), std::string("<pdu/>"),
        std::string("<pdu><head><operation>KeepAlive</operation></head><body/></pdu>"),
        std::string(
            "<pdu><head><operation>KeepAlive</operation><type>request</type></head></pdu>")}) {
    IZETAPDU* unit = Parse(HttpRequest(xml));
    ASSERT_NE(unit, nullptr) << xml;
    EXPECT_NE(dynamic_cast<CInvalidPacket*>(unit), nullptr) << xml;
    EXPECT_EQ(unit->GetCmdId(), kCmdNone) << xml;
    EXPECT_EQ(unit->GetStatus(), 0);
    EXPECT_EQ(parser_->GetLastError(), 0);
  }
  IZETAPDU* unit = Parse(HttpResponse("<pdu/>"));
  EXPECT_NE(dynamic_cast<CInvalidPacketAck*>(unit), nullptr);
}

TEST_F(ParserTest, JunkBeforeAMessageIsAnInvalidPacket) {
  IZETAPDU* unit = Parse("\x01\x02garbage" + HttpRequest(Envelope("KeepAlive", "request")));
  ASSERT_NE(unit, nullptr);
  EXPECT_NE(dynamic_cast<CInvalidPacket*>(unit), nullptr);
  EXPECT_EQ(unit->GetCmdId(), kCmdNone);
  EXPECT_EQ(unit->ToBuffer(), nullptr);  // nothing to print
}

TEST_F(ParserTest, TextsThatAreNoMessageGiveNull) {
  parser_->SetMode(kPduModeHttp);
  EXPECT_EQ(parser_->CreatePDU(nullptr), nullptr);
  EXPECT_EQ(parser_->GetLastError(), kResultHttpParse);
  EXPECT_EQ(Parse(""), nullptr);
  EXPECT_EQ(parser_->GetLastError(), kResultHttpParse);
  EXPECT_EQ(Parse("POST /KeepAlive HTTP/1.1\r\nContent-Length: 100\r\n\r\n<pdu>"), nullptr);
  EXPECT_EQ(parser_->GetLastError(), kResultHttpParse);
  EXPECT_EQ(Parse("INVITE sip:a@b SIP/2.0\r\nContent-Length: 0\r\n\r\n"), nullptr);
  EXPECT_EQ(parser_->GetLastError(), kResultHttpParse);

  EXPECT_EQ(Parse(Envelope("KeepAlive", "request"), 1), nullptr);
  EXPECT_EQ(parser_->GetLastError(), kResultNotDistinguish);
  // A good parse clears the last error.
  EXPECT_NE(Parse(HttpRequest(Envelope("KeepAlive", "request"))), nullptr);
  EXPECT_EQ(parser_->GetLastError(), 0);
}

TEST_F(ParserTest, LengthBoundTextNeedsNoTerminator) {
  std::string text = HttpRequest(Envelope("KeepAlive", "request", "<cuId>a</cuId>"));
  std::string padded = text + "POST /more";
  IZETAPDU* unit = parser_->CreatePDU(padded.data(), static_cast<int>(text.size()));
  ASSERT_NE(unit, nullptr);
  CReferPtr<IZETAPDU> hold(unit);
  EXPECT_STREQ(dynamic_cast<CKeepAlive*>(unit)->cuId, "a");
}

}  // namespace
