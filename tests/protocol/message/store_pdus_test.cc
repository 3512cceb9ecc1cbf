// What the sample table of every unit does not show: the storage units'
// byte-exact bodies, their defaults, and how they read incomplete lists.
#include "protocol/message/store_pdus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "protocol/message/ds_parser.h"
#include "tests/protocol/message_test_util.h"

namespace {

using kvr::pdu::CopyToField;
using kvr::pdu::kPduModeHttp;
using kvr::pdu::kPduModeXml;
using kvr::pdu::RecordStatusEntry;
using kvr::pdu::StoreVolumeItem;
using kvr::pdu::TimeRecord;

using ::testing::HasSubstr;

std::string Xml(IZETAPDU* unit) { return kvr_test::Text(unit->ToBuffer(kPduModeXml)); }

// The text between "<body" and "</body>" (inclusive), as printed.
std::string Body(const std::string& xml) {
  size_t from = xml.find("    <body");
  size_t to = xml.find("</body>");
  if (from == std::string::npos) return "<no body>";
  if (xml.compare(from, 13, "    <body />\n") == 0) return "    <body />";
  return to == std::string::npos ? xml.substr(from) : xml.substr(from, to + 7 - from);
}

// Prints `unit` as a whole HTTP message and parses it back.
template <class Unit>
CReferPtr<Unit> RoundTrip(IZETAPDU* unit) {
  auto text = unit->ToBuffer(kPduModeHttp);
  EXPECT_TRUE(text);
  if (!text) return {};
  CDsParser::Instance()->SetMode(kPduModeHttp);
  CReferPtr<IZETAPDU> hold(CDsParser::Instance()->CreatePDU(text->Data(), text->Size()));
  auto* typed = dynamic_cast<Unit*>(hold.get());
  EXPECT_NE(typed, nullptr);
  return CReferPtr<Unit>(typed);
}

using kvr_test::Doc;

RecordStatusEntry MakeEntry(const std::string& url, int size) {
  RecordStatusEntry entry;
  CopyToField(entry.recordFileUrl, sizeof(entry.recordFileUrl), url.c_str());
  entry.beginTime = TimeRecord{2026, 12, 5, 15, 0, 0, 0};
  entry.finalTime = TimeRecord{2026, 12, 5, 16, 30, 59, 0};
  entry.recordSize = size;
  entry.limitSize = 4096;
  return entry;
}

TEST(StoreUnitsTest, StoreConfigBodiesByteForByte) {
  const std::string kDefaults =
      "        <maxRecordNumber>-1</maxRecordNumber>\n        <recoverMethod>-1</recoverMethod>\n"
      "        <reservedSpace>-1</reservedSpace>\n"
      "        <reservedvolumeSpace>-1</reservedvolumeSpace>\n    </body>";
  // The reply made for a request lists its volumes before the fixed fields.
  CReferPtr<CGetKVRCngParams> request(CGetKVRCngParams::Create());
  CReferPtr<IZETAPDU> reply(request->CreateAck(0));
  auto* ack = dynamic_cast<CGetKVRCngParamsAck*>(reply.get());
  ASSERT_TRUE(ack && ack->AddVolume("D:", "D:\\", 1, 900, 0) == 0);
  EXPECT_EQ(Body(Xml(ack)),
            "    <body>\n        <storeVolumelist>\n            <volumeName>D:</volumeName>\n"
            "            <volumePath>D:\\</volumePath>\n            <volumeType>1</volumeType>\n"
            "            <volumeRest>900</volumeRest>\n            <useCount>0</useCount>\n"
            "        </storeVolumelist>\n        <cngType>0</cngType>\n" +
                kDefaults);

  CReferPtr<CSetKVRCngParams> set(CSetKVRCngParams::Create());
  EXPECT_EQ(Body(Xml(set.get())), "    <body>\n" + kDefaults);

  // Full-range unsigned numbers survive the wire.
  CReferPtr<CGetKVRCngParamsAck> full(CGetKVRCngParamsAck::Create(0));
  full->AddVolume("v", "p", 1, 4294967295u, 3);
  auto back = RoundTrip<CGetKVRCngParamsAck>(full.get());
  StoreVolumeItem volume;
  ASSERT_TRUE(back && back->NextVolume(&volume, true) == 0);
  EXPECT_EQ(volume.volumeRest, 4294967295u);
}

TEST(StoreUnitsTest, RepliesKeepTheirOwnTextsOffTheWire) {
  CReferPtr<CRecordMediaAck> ack(CRecordMediaAck::Create(5));
  std::strcpy(ack->recordFileUrl, "cam1/a.ts"), std::strcpy(ack->volumn, "/srv/a");
  const std::string xml = Xml(ack.get());
  EXPECT_THAT(xml, HasSubstr("<result code=\"5\">Code Fail</result>"));
  EXPECT_EQ(Body(xml), "    <body>\n        <volumn>/srv/a</volumn>\n    </body>");

  CReferPtr<CRecordMediaSaveAsAck> saveAs(CRecordMediaSaveAsAck::Create(0));
  std::strcpy(saveAs->saveAsFileUrl2, "x");
  EXPECT_EQ(Body(Xml(saveAs.get())), "    <body />");
}

TEST(StoreUnitsTest, MissingStatusMembersReadMinusOneAndKeepTimes) {
  CQueryRecordStatusAck ack(Doc("QueryRealMediaRecStatus", "response",
                                "<morePacket>1</morePacket><recordStatus>"
                                "<recordFileUrl>u</recordFileUrl><status>3</status>"
                                "<beginTime>bad</beginTime></recordStatus>"));
  RecordStatusEntry entry = MakeEntry("old", 99);
  ASSERT_TRUE(ack.NextStatus(&entry, false) == 0 && std::string(entry.recordFileUrl) == "u");
  // An unreadable begin time and a missing final time leave the times unchanged.
  EXPECT_EQ(std::tie(entry.status, entry.recordSize, entry.recordType, entry.totalTime,
                     entry.limitSize, entry.limitTime, entry.beginTime.year, entry.finalTime.hour),
            std::make_tuple(3, -1, -1, -1, -1, -1, 2026, 16));
  EXPECT_TRUE(ack.NextStatus(&entry, false) == 3 && *entry.recordFileUrl == '\0');
}

TEST(StoreUnitsTest, MessagesBeyondSixteenKilobytesGoOutWhole) {
  CReferPtr<CQueryRecordStatusAck> ack(CQueryRecordStatusAck::Create(0));
  constexpr int kEntries = 120;
  for (int i = 0; i < kEntries; ++i) {
    ASSERT_EQ(ack->AddStatus(MakeEntry(
                  "camera-" + std::to_string(i) + "/" + std::string(100, 'r') + ".ts", i)),
              0);
  }
  const std::string whole = kvr_test::Text(ack->ToBuffer(kPduModeHttp));
  size_t head = whole.find("\r\n\r\n") + 4;
  EXPECT_GT(whole.size() - head, 50000u);
  EXPECT_THAT(whole, HasSubstr("Content-Length: " + std::to_string(whole.size() - head) + "\r\n"));
  EXPECT_TRUE(whole.ends_with("    </body>\n</pdu>\n"));

  auto back = RoundTrip<CQueryRecordStatusAck>(ack.get());
  RecordStatusEntry entry;
  ASSERT_TRUE(back);
  int count = 0;
  while (back->NextStatus(&entry, false) == 0) EXPECT_EQ(entry.recordSize, count++);
  EXPECT_EQ(count, kEntries);
}

}  // namespace
