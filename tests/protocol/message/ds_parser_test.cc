// The parser's own rules; which class each operation becomes is checked by
// the sample table of every unit.
#include "protocol/message/ds_parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <vector>

#include "protocol/message/session_pdus.h"
#include "tests/protocol/message_test_util.h"

using kvr_test::Join;

namespace {

using kvr::pdu::FindCommand;
using kvr::pdu::kCarrierBareXml;
using kvr::pdu::kCmdNone;
using kvr::pdu::kCmdRegister;
using kvr::pdu::kPduModeHttp;
using kvr::pdu::kPduModeXml;
using kvr::pdu::kResultHttpParse;
using kvr::pdu::kResultNotDistinguish;

std::string Envelope(const std::string& operation, const std::string& type,
                     const std::string& body = "") {
  std::string text = kvr_test::Envelope(operation, true, body);
  return text.replace(text.find("request"), 7, type);
}

std::string HttpRequest(const std::string& xml) { return kvr_test::Http("KeepAlive", true, xml); }
std::string HttpResponse(const std::string& xml) { return kvr_test::Http("", false, xml); }

// What one text becomes in one mode: the class (null: no unit), the command
// id the unit carries, and the parser's last error.
struct Row {
  std::string text;
  int mode;
  const std::type_info* type;
  int cmd;
  int error;
};

std::vector<Row> Rows() {
  const auto* packet = &typeid(CInvalidPacket);
  const auto* packetAck = &typeid(CInvalidPacketAck);
  std::vector<Row> rows;
  // Operations without a unit: invalid packets that can still be answered.
  for (const char* operation : {"NoSuchThing", "MediaData", "MediaInfoQuery", "Invalid_CmdId"}) {
    const int cmd = FindCommand(operation);
    rows.push_back({HttpRequest(Envelope(operation, "request")), 0, packet, cmd, 0});
    rows.push_back({HttpResponse(Envelope(operation, "response")), 0, packetAck, cmd, 0});
  }
  // Mode 0 follows the HTTP start line, mode 2 the head's type.
  rows.push_back(
      {HttpRequest(Envelope("Register", "response")), 0, &typeid(CRegister), kCmdRegister, 0});
  rows.push_back(
      {HttpResponse(Envelope("Register", "request")), 0, &typeid(CRegisterAck), kCmdRegister, 0});
  rows.push_back({Envelope("Register", "request"), 2, &typeid(CRegister), kCmdRegister, 0});
  for (const char* type : {"response", "Request", "", "anything"}) {
    rows.push_back({Envelope("Register", type), 2, &typeid(CRegisterAck), kCmdRegister, 0});
  }
  // Bare XML that is no envelope, and a whole HTTP message where bare XML is due.
  rows.push_back({"<pdu><head>", 2, packetAck, kCmdNone, 0});
  rows.push_back({HttpRequest(Envelope("KeepAlive", "request")), 2, packetAck, kCmdNone, 0});
  // Unreadable envelopes and junk.
  for (const std::string& text :
       {HttpRequest(""), HttpRequest("<<<"), HttpRequest("<pdu/>"),
        HttpRequest("<pdu><head><operation>KeepAlive</operation></head><body/></pdu>"),
        HttpRequest("<pdu><head><operation>KeepAlive</operation><type>request</type></head></pdu>"),
        "\x01\x02garbage" + HttpRequest(Envelope("KeepAlive", "request"))}) {
    rows.push_back({text, 0, packet, kCmdNone, 0});
  }
  rows.push_back({HttpResponse("<pdu/>"), 0, packetAck, kCmdNone, 0});
  // Texts that are no message at all.
  for (const char* text : {"", "POST /KeepAlive HTTP/1.1\r\nContent-Length: 100\r\n\r\n<pdu>",
                           "INVITE sip:a@b SIP/2.0\r\nContent-Length: 0\r\n\r\n"}) {
    rows.push_back({text, 0, nullptr, 0, kResultHttpParse});
  }
  rows.push_back({Envelope("KeepAlive", "request"), 1, nullptr, 0, kResultNotDistinguish});
  return rows;
}

TEST(ParserTest, EachTextBecomesItsClassInItsMode) {
  CDsParser* parser = CDsParser::Instance();
  EXPECT_EQ(parser->GetMode(), kPduModeHttp);  // the singleton starts in HTTP mode
  for (const Row& row : Rows()) {
    SCOPED_TRACE(testing::Message() << "mode " << row.mode << ": " << row.text);
    parser->SetMode(row.mode);
    CReferPtr<IZETAPDU> unit(parser->CreatePDU(row.text.c_str()));
    EXPECT_EQ(parser->GetLastError(), row.error);  // a good parse clears it
    ASSERT_EQ(unit == nullptr, row.type == nullptr);
    if (unit == nullptr) continue;
    EXPECT_EQ(unit->ReferenceCount(), 1);
    EXPECT_EQ(typeid(*unit).name(), row.type->name());
    EXPECT_EQ(unit->GetCmdId(), row.cmd);
  }
  parser->SetMode(kPduModeHttp);
  const std::string garbage = "\x01\x02garbage" + HttpRequest(Envelope("KeepAlive", "request"));
  CReferPtr<IZETAPDU> junk(parser->CreatePDU(garbage.c_str()));
  EXPECT_TRUE(junk && junk->ToBuffer() == nullptr) << "junk has nothing to print";
  EXPECT_EQ(parser->CreatePDU(nullptr), nullptr);
  EXPECT_EQ(parser->GetLastError(), kResultHttpParse);
}

TEST(ParserTest, ValuesHeadsAndAnswersOfParsedUnits) {
  CDsParser* parser = CDsParser::Instance();
  CReferPtr<IZETAPDU> reg(
      parser->CreatePDU(HttpRequest(Envelope("Register", "request", "<cuId>x</cuId>")).c_str()));
  ASSERT_TRUE(reg);
  EXPECT_EQ(Join(dynamic_cast<CRegister&>(*reg).cuId, reg->GetURLCommand()),
            Join("x", "KeepAlive"));
  parser->SetMode(kPduModeXml);
  CReferPtr<IZETAPDU> bare(parser->CreatePDU(Envelope("Register", "request").c_str()));
  parser->SetMode(kPduModeHttp);
  // The head's session and sequence reach the headers.
  EXPECT_EQ(Join(bare->GetCarrierKind(), bare->GetSession(), bare->GetSequence()),
            Join(kCarrierBareXml, "12", "7"));

  // An invalid packet can still be answered.
  CReferPtr<IZETAPDU> invalid(
      parser->CreatePDU(HttpRequest(Envelope("NoSuchThing", "request")).c_str()));
  CReferPtr<IZETAPDU> ack(invalid->CreateAck(kResultNotDistinguish));
  ASSERT_TRUE(ack);
  EXPECT_STREQ(ack->GetCommandName(), "Invalid_CmdId");
  EXPECT_THAT(kvr_test::Text(ack->ToBuffer()),
              testing::HasSubstr("<result code=\"9\">Not distinguish</result>"));

  // A length-bound text needs no terminator.
  std::string text = HttpRequest(Envelope("KeepAlive", "request", "<cuId>a</cuId>"));
  std::string padded = text + "POST /more";
  CReferPtr<IZETAPDU> unit(parser->CreatePDU(padded.data(), static_cast<int>(text.size())));
  ASSERT_TRUE(unit);
  EXPECT_STREQ(dynamic_cast<CKeepAlive&>(*unit).cuId, "a");
}

}  // namespace
