#include "protocol/message/pdu.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "protocol/message/media_pdu.h"
#include "protocol/message/pdu_unit.h"
#include "protocol/message/session_pdus.h"
#include "tests/protocol/message_test_util.h"

namespace {

using kvr::pdu::Bool;
using kvr::pdu::BoolByte;
using kvr::pdu::CompleteUtf8Length;
using kvr::pdu::CopyToField;
using kvr::pdu::Field;
using kvr::pdu::kCmdInvalid;
using kvr::pdu::kCmdNone;
using kvr::pdu::kCmdPlanInfo;
using kvr::pdu::kCmdUnknown;
using kvr::pdu::kPduModeXml;
using kvr::pdu::kRecordSourceFirstSlot;
using kvr::pdu::kRecordTypeFirstSlot;
using kvr::pdu::kResultCodeFail;
using kvr::pdu::kResultEmptyData;
using kvr::pdu::NoFields;
using kvr::pdu::ParseDecimalInt;
using kvr::pdu::ParseDecimalUint;
using kvr::pdu::ParseTimeText;
using kvr::pdu::PduField;
using kvr::pdu::PduList;
using kvr::pdu::PrintTimeText;
using kvr::pdu::RecordNameToNumber;
using kvr::pdu::RecordNumberToName;
using kvr::pdu::RecordSource;
using kvr::pdu::RecordType;
using kvr::pdu::TimeRecord;
using kvr::pdu::TRequestPDU;
using kvr::pdu::TResponsePDU;
using kvr::pdu::TrueFlag;

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

using kvr_test::Join;
using kvr_test::Text;

template <class Unit>
CReferPtr<Unit> Hold(Unit* unit) {
  return CReferPtr<Unit>(unit);
}

// A unit that uses every kind of field declaration, as the platform units do.
struct ProbeItem {
  char name[8] = "";
  int32_t number = 0;
  TimeRecord when;
  int32_t type = 0;
  static constexpr PduField kFields[] = {
      Field<&ProbeItem::name>("name"),
      Field<&ProbeItem::number>("number"),
      Field<&ProbeItem::when>("when"),
      RecordSource<&ProbeItem::type>("source"),
  };
};

struct ProbeCheckItem {
  int32_t planId = 0;
  int32_t failType = 0;
  static constexpr PduField kFields[] = {
      Field<&ProbeCheckItem::planId>("planId").AbsentAs(-1),
      Field<&ProbeCheckItem::failType>("failType"),
  };
};

struct ProbeFields {
  char text[8] = "";
  int32_t number = 0;
  uint32_t unsignedNumber = 0;
  int32_t flag = 0;
  uint8_t byteFlag = 0;
  int32_t exactFlag = 0;
  TimeRecord when;
  int32_t recordType = 0;
  int32_t renamed = 0;
  int32_t defaulted = 0;
  static constexpr PduField kFields[] = {
      Field<&ProbeFields::text>("text"),
      Field<&ProbeFields::number>("number"),
      Field<&ProbeFields::unsignedNumber>("unsignedNumber"),
      Bool<&ProbeFields::flag>("flag"),
      BoolByte<&ProbeFields::byteFlag>("byteFlag"),
      TrueFlag<&ProbeFields::exactFlag>("exactFlag"),
      Field<&ProbeFields::when>("when"),
      RecordType<&ProbeFields::recordType>("recordType"),
      Field<&ProbeFields::renamed>("readKey").EncodeAs("writeKey"),
      Field<&ProbeFields::defaulted>("defaulted").AbsentAs(7),
  };
  static constexpr PduList<ProbeItem> kItems{"item", ProbeItem::kFields, 0};
  static constexpr PduList<ProbeCheckItem> kChecks{"check", ProbeCheckItem::kFields, 1};
};

class CProbeAck final : public TResponsePDU<CProbeAck, NoFields, kCmdPlanInfo> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CProbe final : public TRequestPDU<CProbe, ProbeFields, kCmdPlanInfo, CProbeAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// A document holding `body` as the body of a request envelope.
std::unique_ptr<CzetaDoc> RequestDoc(const std::string& operation, const std::string& body) {
  return std::make_unique<CXMLDoc>(
      "<pdu><head><operation>" + operation +
      "</operation><type>request</type><session>3</session><sequence>9</sequence></head><body>" +
      body + "</body></pdu>");
}

TEST(PduFieldsTest, EveryKindLoadsFromOneDeclarationAndMissingOnesReadTheAbsentMarker) {
  // Texts are cut to the field with the NUL kept; only a lower-case "true" sets the byte flag, and
  // a missing one keeps the marker's low byte (written back as "true"); an unreadable time is
  // left as it was.
  using Values = std::tuple<std::string, int32_t, uint32_t, int32_t, uint8_t, int32_t, std::string,
                            int32_t, int32_t, int32_t>;
  const std::pair<std::string, Values> rows[] = {
      {"<text>longer than eight</text><number>-17x</number><unsignedNumber>-1</unsignedNumber>"
       "<flag>trueish</flag><byteFlag>TRUE</byteFlag><exactFlag>true</exactFlag>"
       "<when>2024-2-29 23:5:9</when><recordType>MoveDetect</recordType><readKey>5</readKey>"
       "<writeKey>6</writeKey>",
       {"longer ", -17, 4294967295u, 1, 0, 1, "2024-2-29 23:5:9", 2, 5, 7}},
      {"<exactFlag>True</exactFlag><when>not a time</when><recordType>Unknown</recordType>",
       {"", ABSENT_VALUE, 4294967294u, ABSENT_VALUE, 0xFE, 0, "0-0-0 0:0:0", -1, ABSENT_VALUE, 7}}};
  for (const auto& [body, want] : rows) {
    CProbe probe(RequestDoc("PlanInfo", body));
    std::string when;
    PrintTimeText(&probe.when, &when);
    EXPECT_EQ(Values(probe.text, probe.number, probe.unsignedNumber, probe.flag, probe.byteFlag,
                     probe.exactFlag, when, probe.recordType, probe.renamed, probe.defaulted),
              want)
        << body;
  }
}

TEST(PduFieldsTest, EncodeFollowsTheDeclarationAndReplacesOldValues) {
  auto probe = Hold(CProbe::Create());
  std::strcpy(probe->text, "abc");
  probe->number = ABSENT_VALUE, probe->unsignedNumber = 4000000000u, probe->flag = 0;
  probe->byteFlag = 1, probe->exactFlag = 1, probe->when = TimeRecord{2009, 1, 2, 3, 4, 5, 0};
  probe->recordType = 4, probe->renamed = 12, probe->defaulted = 0;
  const std::string first = Text(probe->ToBuffer(kPduModeXml));
  EXPECT_EQ(Text(probe->ToBuffer(kPduModeXml)), first) << "a second print has each field once";
  EXPECT_THAT(
      first, HasSubstr("    <body>\n        <text>abc</text>\n"
                       "        <unsignedNumber>4000000000</unsignedNumber>\n"
                       "        <flag>false</flag>\n        <byteFlag>true</byteFlag>\n"
                       "        <exactFlag>true</exactFlag>\n        <when>2009-1-2 3:4:5</when>\n"
                       "        <recordType>Picture</recordType>\n        <writeKey>12</writeKey>\n"
                       "        <defaulted>0</defaulted>\n    </body>\n"));

  // A text array filled to its last byte is never read past.
  std::memset(probe->text, 'z', sizeof(probe->text));
  probe->recordType = 9;  // no name: left out
  EXPECT_THAT(Text(probe->ToBuffer(kPduModeXml)),
              AllOf(HasSubstr("<text>zzzzzzzz</text>"), testing::Not(HasSubstr("<recordType>"))));
}

TEST(PduFieldsTest, ListsWriteInOrderAndReadWithTheirOwnCursors) {
  auto probe = Hold(CProbe::Create());
  ProbeItem item;
  std::strcpy(item.name, "one");
  item.number = 1, item.when = TimeRecord{2020, 12, 31, 0, 0, 0, 0}, item.type = 1;
  EXPECT_EQ(probe->AddListItem(ProbeFields::kItems, item), 0);
  std::strcpy(item.name, "two");
  item.number = ABSENT_VALUE, item.type = 0;
  EXPECT_EQ(probe->AddListItem(ProbeFields::kItems, item), 0);
  EXPECT_EQ(probe->AddListItem(ProbeFields::kChecks, ProbeCheckItem{4, 2}), 0);
  EXPECT_EQ(std::tuple(probe->GetListWriteCursor(0), probe->GetListWriteCursor(1)),
            std::tuple(2, 1));

  // Each list is written whole, in its order, before the fields; a source
  // prints as its name.
  std::string xml = Text(probe->ToBuffer(kPduModeXml));
  EXPECT_THAT(xml, HasSubstr("            <source>From Dvr</source>\n        </item>\n"
                             "        <check>\n            <planId>4</planId>\n"
                             "            <failType>2</failType>\n        </check>\n"
                             "        <number>0</number>\n"));

  // Reading back: a missing number reads 0, a missing time leaves the
  // member's time alone, and each list has its own read cursor.
  CProbe back(std::make_unique<CXMLDoc>(xml));
  ProbeItem out;
  ProbeCheckItem got;
  EXPECT_TRUE(back.NextListItem(ProbeFields::kItems, &out, false) == 0 &&
              back.NextListItem(ProbeFields::kChecks, &got, false) == 0 &&
              back.NextListItem(ProbeFields::kItems, &out, false) == 0);
  EXPECT_EQ(std::tuple(std::string(out.name), out.number, out.type), std::tuple("two", 0, 0));
  out.when = TimeRecord{};
  EXPECT_TRUE(back.NextListItem(ProbeFields::kItems, &out, false) == 3 && out.when.year == 0 &&
              back.NextListItem(ProbeFields::kChecks, &got, false) == 3);
  EXPECT_EQ(std::tuple(back.GetListReadCursor(0), back.GetListReadCursor(1)), std::tuple(3, 2));
  EXPECT_EQ(back.NextListItem(ProbeFields::kItems, &out, true), 0);  // restart
  EXPECT_EQ(std::tuple(std::string(out.name), out.type, out.when.year), std::tuple("one", 1, 2020));
}

TEST(PduTest, PrintsOnlyInItsModesAndOnlyWithADocument) {
  auto request = Hold(CKeepAlive::Create());
  auto reply = Hold(CKeepAliveAck::Create(20));
  EXPECT_EQ(reply->ToBuffer(1), nullptr);  // mode 1 does not exist; a later print works again
  reply->SetResult(5);
  EXPECT_THAT(Text(reply->ToBuffer(kPduModeXml)),
              HasSubstr("<result code=\"5\">Code Fail</result>"));

  CKeepAlive bare;
  EXPECT_EQ(bare.ToBuffer(), nullptr);
  EXPECT_EQ(Join(bare.GetCommandName(), bare.GetStatus()), Join("Invalid_CmdId", kResultCodeFail));
  for (int id : {kCmdNone, kCmdUnknown, kCmdInvalid}) {
    request->SetCmdId(id);
    EXPECT_STREQ(request->GetCommandName(), "Invalid_CmdId") << id;
  }
}

TEST(ZetaTextTest, TimesNamesAndNumbers) {
  TimeRecord time;
  std::string text;
  EXPECT_TRUE(ParseTimeText("2026-12-05 15:40:07", &time) && PrintTimeText(&time, &text) &&
              text == "2026-12-5 15:40:7");
  TimeRecord kept = time;
  for (const char* bad : {"", "2026-12-05", "2026-12-05 15:40", "-1-2 3:4:5", "2026/12/05 1:2:3"}) {
    EXPECT_FALSE(ParseTimeText(bad, &time)) << bad;
    EXPECT_EQ(std::memcmp(&time, &kept, sizeof(time)), 0) << bad;
  }
  EXPECT_FALSE(ParseTimeText(nullptr, &time) || ParseTimeText("1-2-3 4:5:6", nullptr) ||
               PrintTimeText(nullptr, &text));
  // Kept in each field's width.
  EXPECT_TRUE(ParseTimeText("99999-300-1 1:1:1", &time) &&
              time.year == static_cast<uint16_t>(99999) && time.month == static_cast<uint8_t>(300));
  EXPECT_TRUE(RecordNameToNumber("general") == -1 && RecordNameToNumber(nullptr) == -1);
  for (auto [number, slot] : {std::pair{2, kRecordSourceFirstSlot},
                              {-1, kRecordTypeFirstSlot},
                              {-6, kRecordSourceFirstSlot},
                              {2147483647, kRecordSourceFirstSlot}}) {
    EXPECT_STREQ(RecordNumberToName(number, slot), "") << number;
  }

  for (auto [text, want] : {std::pair<const char*, int>{"  -42abc", -42},
                            {"x1", 0},
                            {nullptr, 0},
                            {"99999999999999999999999", 2147483647},
                            {"-99999999999", INT32_MIN}}) {
    EXPECT_EQ(ParseDecimalInt(text), want) << text;
  }
  EXPECT_EQ(
      Join(ParseDecimalUint("4294967295"), ParseDecimalUint("-2"), ParseDecimalUint("99999999999")),
      Join(4294967295u, 4294967294u, 4294967295u));
}

TEST(ZetaTextTest, TextsAreCutBetweenCharacters) {
  // A lead byte takes the next bytes, whatever they are.
  for (auto [text, length, want] : {std::tuple<const char*, size_t, size_t>{"ab\xE4\xB8\xAD", 5, 5},
                                    {"ab\xE4\xB8", 4, 2},
                                    {"ab\xE4x", 4, 2},
                                    {"\xF0\x80\x80\x80\xF5", 5, 5},
                                    {"\x80\x80", 2, 2}}) {
    EXPECT_EQ(CompleteUtf8Length(text, length), want) << text;
  }
  // "ab" and two CJK characters, too long a text, none.
  for (auto [from, want] :
       {std::pair<const char*, const char*>{"ab\xE4\xB8\xAD\xE4\xB8\xAD", "ab\xE4\xB8\xAD"},
        {"abcdefg", "abcde"},
        {nullptr, ""}}) {
    char field[6];
    CopyToField(field, sizeof(field), from);
    EXPECT_STREQ(field, want);
  }
}

TEST(SessionUnitsTest, HalfACharacterNeverReachesTheWire) {
  // A name of 12 three-byte characters does not fit 35 bytes: eleven are kept.
  std::string name;
  for (int i = 0; i < 12; ++i) name += "\xE6\x93\x8D";
  CKeepAlive request(RequestDoc("KeepAlive", "<cuName>" + name + "</cuName><cuId>x</cuId>"));
  EXPECT_EQ(std::string(request.cuName), name.substr(0, 33));

  // A maker's text ending in half a character, or one whose entity-encoded
  // form would leave half a character at the end, is shortened when written.
  std::strcpy(request.cuName, "op\xE4\x01\xC3");
  std::strcpy(request.cuId, "id\xE6\x93");
  request.keepAlivePeriod = 30;
  std::string xml = Text(request.ToBuffer(kPduModeXml));
  EXPECT_THAT(xml, AllOf(HasSubstr("<cuId>id</cuId>"), HasSubstr("<cuName>op\xE4&#x01;</cuName>")));
  CKeepAlive back(std::make_unique<CXMLDoc>(xml));
  EXPECT_TRUE(std::string(back.cuId) == "id" && back.keepAlivePeriod == 30);
}

TEST(MediaDataTest, MadeFromBytes) {
  const char bytes[] = {1, 0, 2, 3};
  auto unit = Hold(CQwMediaData::Create(bytes, sizeof(bytes), CQwMediaData::kKindStream));
  ASSERT_TRUE(unit);
  EXPECT_EQ(
      Join(unit->GetStatus(), unit->GetDataSize(), unit->GetData() != bytes, unit->GetResultText()),
      Join(0, 4, true, "Empty data"));  // a copy

  // The payload may outlive the unit.
  CReferPtr<CAutoBuffer> payload(unit->GetBuffer());
  unit.Reset();
  EXPECT_EQ(payload->Data()[3], 3);

  EXPECT_EQ(CQwMediaData::Create(bytes, 4, 1), nullptr);
  for (auto [data, length] : {std::pair<const char*, int>{nullptr, 4}, {bytes, 0}, {bytes, -3}}) {
    auto empty = Hold(CQwMediaData::Create(data, length, 0));
    EXPECT_TRUE(empty->GetStatus() == kResultEmptyData && empty->GetDataSize() == 0) << length;
  }
}

}  // namespace
