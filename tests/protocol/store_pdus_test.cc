#include "protocol/store_pdus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/ds_parser.h"

namespace {

std::string Xml(IZETAPDU* unit) {
  auto buffer = unit->ToBuffer(kPduModeXml);
  return buffer ? std::string(buffer->Data(), static_cast<size_t>(buffer->Size())) : "<null>";
}

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
  IZETAPDU* parsed = CDsParser::Instance()->CreatePDU(text->Data(), text->Size());
  CReferPtr<IZETAPDU> hold(parsed);
  auto* typed = dynamic_cast<Unit*>(parsed);
  EXPECT_NE(typed, nullptr);
  return CReferPtr<Unit>(typed);
}

std::unique_ptr<CzetaDoc> ReplyDoc(const std::string& operation, const std::string& body) {
  return std::make_unique<CXMLDoc>("<pdu><head><operation>" + operation +
                                   "</operation><type>response</type></head><body>" + body +
                                   "</body></pdu>");
}

TEST(StoreUnitsTest, StoreConfigGetReplyCarriesTheVolumesFirst) {
  CReferPtr<CGetKVRCngParams> request(CGetKVRCngParams::Create());
  CReferPtr<IZETAPDU> reply(request->CreateAck(0));
  auto* ack = dynamic_cast<CGetKVRCngParamsAck*>(reply.get());
  ASSERT_NE(ack, nullptr);
  EXPECT_EQ(ack->cngType, 0);
  EXPECT_EQ(ack->maxRecordNumber, -1);
  EXPECT_EQ(ack->reservedvolumeSpace, -1);
  EXPECT_EQ(ack->AddVolume("D:", "D:\\", 1, 900, 0), 0);
  EXPECT_EQ(Body(Xml(ack)),
            "    <body>\n"
            "        <storeVolumelist>\n"
            "            <volumeName>D:</volumeName>\n"
            "            <volumePath>D:\\</volumePath>\n"
            "            <volumeType>1</volumeType>\n"
            "            <volumeRest>900</volumeRest>\n"
            "            <useCount>0</useCount>\n"
            "        </storeVolumelist>\n"
            "        <cngType>0</cngType>\n"
            "        <maxRecordNumber>-1</maxRecordNumber>\n"
            "        <recoverMethod>-1</recoverMethod>\n"
            "        <reservedSpace>-1</reservedSpace>\n"
            "        <reservedvolumeSpace>-1</reservedvolumeSpace>\n"
            "    </body>");
}

TEST(StoreUnitsTest, DefaultStoreConfigSetCarriesMinusOne) {
  CReferPtr<CSetKVRCngParams> request(CSetKVRCngParams::Create());
  EXPECT_EQ(Body(Xml(request.get())),
            "    <body>\n"
            "        <maxRecordNumber>-1</maxRecordNumber>\n"
            "        <recoverMethod>-1</recoverMethod>\n"
            "        <reservedSpace>-1</reservedSpace>\n"
            "        <reservedvolumeSpace>-1</reservedvolumeSpace>\n"
            "    </body>");
}

TEST(StoreUnitsTest, StoreConfigRoundTripsWithVolumes) {
  CReferPtr<CSetKVRCngParams> request(CSetKVRCngParams::Create());
  request->maxRecordNumber = 200;
  request->recoverMethod = 1;
  request->reservedSpace = 1024;
  request->reservedvolumeSpace = 10;
  request->AddVolume("/srv/a", "/srv/a", 0);
  request->AddVolume("/srv/b", "/srv/b", 2);
  auto back = RoundTrip<CSetKVRCngParams>(request.get());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->maxRecordNumber, 200);
  EXPECT_EQ(back->recoverMethod, 1);
  EXPECT_EQ(back->reservedSpace, 1024);
  EXPECT_EQ(back->reservedvolumeSpace, 10);
  StoreVolumeItem volume;
  volume.volumeRest = 77;
  ASSERT_EQ(back->NextVolume(&volume, false), 0);
  EXPECT_STREQ(volume.volumeName, "/srv/a");
  ASSERT_EQ(back->NextVolume(&volume, false), 0);
  EXPECT_STREQ(volume.volumePath, "/srv/b");
  EXPECT_EQ(volume.volumeType, 2);
  EXPECT_EQ(volume.volumeRest, 77u);  // not part of this list
  EXPECT_EQ(back->NextVolume(&volume, false), 3);
  // After the end, a restart gives the first member again.
  ASSERT_EQ(back->NextVolume(&volume, true), 0);
  EXPECT_STREQ(volume.volumeName, "/srv/a");

  CReferPtr<CGetKVRCngParamsAck> reply(CGetKVRCngParamsAck::Create(0));
  reply->AddVolume("v", "p", 1, 4294967295u, 3);
  auto replyBack = RoundTrip<CGetKVRCngParamsAck>(reply.get());
  ASSERT_TRUE(replyBack);
  ASSERT_EQ(replyBack->NextVolume(&volume, true), 0);
  EXPECT_EQ(volume.volumeRest, 4294967295u);
  EXPECT_EQ(volume.useCount, 3u);
}

TEST(StoreUnitsTest, AMessageWithoutVolumesEndsAtOnce) {
  CGetKVRCngParamsAck ack(ReplyDoc("StoreConfigGet", "<cngType>1</cngType>"));
  EXPECT_EQ(ack.cngType, 1);
  EXPECT_EQ(ack.maxRecordNumber, ABSENT_VALUE);  // absent numbers read -2
  StoreVolumeItem volume;
  std::strcpy(volume.volumeName, "stale");
  volume.volumeType = 5;
  volume.volumeRest = 5;
  volume.useCount = 5;
  EXPECT_EQ(ack.NextVolume(&volume, false), 3);
  EXPECT_STREQ(volume.volumeName, "");
  EXPECT_STREQ(volume.volumePath, "");
  EXPECT_EQ(volume.volumeType, 0);
  EXPECT_EQ(volume.volumeRest, 0u);
  EXPECT_EQ(volume.useCount, 0u);
}

TEST(StoreUnitsTest, VolumeNamesLongerThanTheirFieldAreCut) {
  CSetKVRCngParams request(std::make_unique<CXMLDoc>(
      "<pdu><head><operation>StoreConfigSet</operation><type>request</type></head><body>"
      "<storeVolumelist><volumeName>" +
      std::string(1000, 'n') + "</volumeName></storeVolumelist></body></pdu>"));
  StoreVolumeItem volume;
  ASSERT_EQ(request.NextVolume(&volume, false), 0);
  EXPECT_EQ(std::string(volume.volumeName), std::string(259, 'n'));
}

TEST(StoreUnitsTest, RecordMediaReadsPuTypeAndWritesMediaType) {
  CRecordMedia fromMediaType(std::make_unique<CXMLDoc>(
      "<pdu><head><operation>RecRealMedia</operation><type>request</type></head><body>"
      "<vsDestIp>10.0.0.1-and-too-long</vsDestIp><puIp>10.0.0.2</puIp><mediaType>3</mediaType>"
      "<writeFileUrl>cam1/rec.ts</writeFileUrl><limitSize>100</limitSize></body></pdu>"));
  EXPECT_EQ(fromMediaType.puType, ABSENT_VALUE);
  EXPECT_STREQ(fromMediaType.vsDestIp, "10.0.0.1-and-to");  // 15 characters
  EXPECT_STREQ(fromMediaType.writeFileUrl, "cam1/rec.ts");
  EXPECT_EQ(fromMediaType.limitSize, 100);
  EXPECT_EQ(fromMediaType.limitTime, ABSENT_VALUE);

  CReferPtr<CRecordMedia> request(CRecordMedia::Create());
  std::strcpy(request->vsDestIp, "10.0.0.9");
  request->vsDestPort = 9000;
  std::strcpy(request->puIp, "10.0.0.2");
  request->puPort = 554;
  request->puChannel = 2;
  request->puType = 5;
  request->recordType = 1;
  std::strcpy(request->writeFileUrl, "cam1/a.ts");
  std::strcpy(request->readFileUrl, "rtsp://10.0.0.2/1");
  std::strcpy(request->volumn, "/srv/a");
  request->limitSize = 2048;
  request->limitTime = 3600;
  EXPECT_EQ(Body(Xml(request.get())),
            "    <body>\n"
            "        <vsDestIp>10.0.0.9</vsDestIp>\n"
            "        <vsDestPort>9000</vsDestPort>\n"
            "        <puIp>10.0.0.2</puIp>\n"
            "        <puPort>554</puPort>\n"
            "        <puChannel>2</puChannel>\n"
            "        <mediaType>5</mediaType>\n"
            "        <recordType>1</recordType>\n"
            "        <writeFileUrl>cam1/a.ts</writeFileUrl>\n"
            "        <readFileUrl>rtsp://10.0.0.2/1</readFileUrl>\n"
            "        <volumn>/srv/a</volumn>\n"
            "        <limitSize>2048</limitSize>\n"
            "        <limitTime>3600</limitTime>\n"
            "    </body>");
  // What this service prints, it reads back as "mediaType" only: the source type is lost.
  auto back = RoundTrip<CRecordMedia>(request.get());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->puType, ABSENT_VALUE);
  EXPECT_EQ(back->limitTime, 3600);
  EXPECT_STREQ(back->readFileUrl, "rtsp://10.0.0.2/1");
}

TEST(StoreUnitsTest, RepliesKeepTheirOwnTextsOffTheWire) {
  CReferPtr<CRecordMediaAck> ack(CRecordMediaAck::Create(5));
  std::strcpy(ack->recordFileUrl, "cam1/a.ts");
  std::strcpy(ack->volumn, "/srv/a");
  std::string xml = Xml(ack.get());
  EXPECT_EQ(Body(xml), "    <body>\n        <volumn>/srv/a</volumn>\n    </body>");
  EXPECT_NE(xml.find("<result code=\"5\">Code Fail</result>"), std::string::npos);

  CReferPtr<CRecordMediaControlAck> control(CRecordMediaControlAck::Create(0));
  std::strcpy(control->recordFileUrl, "cam1/a.ts");
  EXPECT_EQ(Body(Xml(control.get())), "    <body />");
  CReferPtr<CRecordMediaSaveAsAck> saveAs(CRecordMediaSaveAsAck::Create(0));
  std::strcpy(saveAs->saveAsFileUrl2, "x");
  EXPECT_EQ(Body(Xml(saveAs.get())), "    <body />");
}

TEST(StoreUnitsTest, ControlDeleteQueryEventAndSaveAsRoundTrip) {
  CReferPtr<CRecordMediaControl> control(CRecordMediaControl::Create());
  std::strcpy(control->recordFileUrl, "cam1/a.ts");
  control->ctrlInfo = 3;
  auto controlBack = RoundTrip<CRecordMediaControl>(control.get());
  ASSERT_TRUE(controlBack);
  EXPECT_STREQ(controlBack->recordFileUrl, "cam1/a.ts");
  EXPECT_EQ(controlBack->ctrlInfo, 3);

  CReferPtr<CDelRecordMedia> del(CDelRecordMedia::Create());
  std::strcpy(del->recordFileUrl, "cam1/b.ts");
  auto delBack = RoundTrip<CDelRecordMedia>(del.get());
  ASSERT_TRUE(delBack);
  EXPECT_STREQ(delBack->recordFileUrl, "cam1/b.ts");

  CReferPtr<CQueryRecordStatus> query(CQueryRecordStatus::Create());
  CopyToField(query->recordFileUrl, sizeof(query->recordFileUrl), "*");
  auto queryBack = RoundTrip<CQueryRecordStatus>(query.get());
  ASSERT_TRUE(queryBack);
  EXPECT_STREQ(queryBack->recordFileUrl, "*");

  CReferPtr<CRecordEvent> event(CRecordEvent::Create());
  std::strcpy(event->recordFileUrl, "cam1/c.ts");
  event->recordEvent = 2;
  EXPECT_EQ(Body(Xml(event.get())),
            "    <body>\n"
            "        <recordFileUrl>cam1/c.ts</recordFileUrl>\n"
            "        <recordEvent>2</recordEvent>\n"
            "    </body>");
  auto eventBack = RoundTrip<CRecordEvent>(event.get());
  ASSERT_TRUE(eventBack);
  EXPECT_EQ(eventBack->recordEvent, 2);

  CReferPtr<CRecordMediaSaveAs> saveAs(CRecordMediaSaveAs::Create());
  std::strcpy(saveAs->recordFileUrl, "r");
  saveAs->ctrlInfo = 1;
  std::strcpy(saveAs->saveAsFileUrl1, "s1");
  std::strcpy(saveAs->saveAsFileUrl2, "s2");
  saveAs->recordFileFormat = 4;
  saveAs->beginTime = 10;
  saveAs->endTime = 20;
  auto saveAsBack = RoundTrip<CRecordMediaSaveAs>(saveAs.get());
  ASSERT_TRUE(saveAsBack);
  EXPECT_STREQ(saveAsBack->saveAsFileUrl2, "s2");
  EXPECT_EQ(saveAsBack->recordFileFormat, 4);
  EXPECT_EQ(saveAsBack->endTime, 20);
}

RecordStatusEntry MakeEntry(const char* url, int size) {
  RecordStatusEntry entry;
  std::strcpy(entry.recordFileUrl, url);
  entry.beginTime = TimeRecord{2026, 12, 5, 15, 0, 0, 0};
  entry.finalTime = TimeRecord{2026, 12, 5, 16, 30, 59, 0};
  entry.recordSize = size;
  entry.recordType = 0;
  entry.totalTime = 0;
  entry.limitSize = 4096;
  entry.limitTime = 7200;
  entry.status = 4;
  return entry;
}

TEST(StoreUnitsTest, RecordStatusListWritesAndReadsEntries) {
  CReferPtr<CQueryRecordStatus> query(CQueryRecordStatus::Create());
  CReferPtr<IZETAPDU> reply(query->CreateAck(0));
  auto* ack = dynamic_cast<CQueryRecordStatusAck*>(reply.get());
  ASSERT_NE(ack, nullptr);
  EXPECT_EQ(ack->AddStatus(MakeEntry("cam1/a.ts", 12)), 0);
  EXPECT_EQ(ack->AddStatus(MakeEntry("cam2/b.ts", 34)), 0);
  std::string xml = Xml(ack);
  EXPECT_NE(xml.find("        <recordStatus>\n"
                     "            <recordFileUrl>cam1/a.ts</recordFileUrl>\n"
                     "            <beginTime>2026-12-5 15:0:0</beginTime>\n"
                     "            <finalTime>2026-12-5 16:30:59</finalTime>\n"
                     "            <recordSize>12</recordSize>\n"
                     "            <recordType>0</recordType>\n"
                     "            <totalTime>0</totalTime>\n"
                     "            <limitSize>4096</limitSize>\n"
                     "            <limitTime>7200</limitTime>\n"
                     "            <status>4</status>\n"
                     "        </recordStatus>\n"
                     "        <recordStatus>\n"
                     "            <recordFileUrl>cam2/b.ts</recordFileUrl>\n"),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find("        </recordStatus>\n        <morePacket>0</morePacket>\n    </body>"),
            std::string::npos);

  auto back = RoundTrip<CQueryRecordStatusAck>(ack);
  ASSERT_TRUE(back);
  RecordStatusEntry entry;
  ASSERT_EQ(back->NextStatus(&entry, false), 0);
  EXPECT_STREQ(entry.recordFileUrl, "cam1/a.ts");
  EXPECT_EQ(entry.finalTime.minute, 30);
  EXPECT_EQ(entry.finalTime.second, 59);
  EXPECT_EQ(entry.recordSize, 12);
  ASSERT_EQ(back->NextStatus(&entry, false), 0);
  EXPECT_EQ(entry.recordSize, 34);
  EXPECT_EQ(back->NextStatus(&entry, false), 3);
  ASSERT_EQ(back->NextStatus(&entry, true), 0);
  EXPECT_STREQ(entry.recordFileUrl, "cam1/a.ts");
}

TEST(StoreUnitsTest, MissingStatusMembersReadMinusOneAndKeepTimes) {
  CQueryRecordStatusAck ack(ReplyDoc("QueryRealMediaRecStatus",
                                     "<morePacket>1</morePacket><recordStatus>"
                                     "<recordFileUrl>u</recordFileUrl><status>3</status>"
                                     "<beginTime>bad</beginTime></recordStatus>"));
  EXPECT_EQ(ack.morePacket, 1);
  RecordStatusEntry entry = MakeEntry("old", 99);
  ASSERT_EQ(ack.NextStatus(&entry, false), 0);
  EXPECT_STREQ(entry.recordFileUrl, "u");
  EXPECT_EQ(entry.status, 3);
  EXPECT_EQ(entry.recordSize, -1);
  EXPECT_EQ(entry.recordType, -1);
  EXPECT_EQ(entry.totalTime, -1);
  EXPECT_EQ(entry.limitSize, -1);
  EXPECT_EQ(entry.limitTime, -1);
  EXPECT_EQ(entry.beginTime.year, 2026);  // unreadable: unchanged
  EXPECT_EQ(entry.finalTime.hour, 16);    // missing: unchanged
  EXPECT_EQ(ack.NextStatus(&entry, false), 3);
  EXPECT_STREQ(entry.recordFileUrl, "");
}

TEST(StoreUnitsTest, MessagesBeyondSixteenKilobytesGoOutWhole) {
  CReferPtr<CQueryRecordStatusAck> ack(CQueryRecordStatusAck::Create(0));
  constexpr int kEntries = 120;
  for (int i = 0; i < kEntries; ++i) {
    std::string url = "camera-" + std::to_string(i) + "/" + std::string(100, 'r') + ".ts";
    ASSERT_EQ(ack->AddStatus(MakeEntry(url.c_str(), i)), 0);
  }
  auto text = ack->ToBuffer(kPduModeHttp);
  ASSERT_TRUE(text);
  std::string whole(text->Data(), static_cast<size_t>(text->Size()));
  size_t head = whole.find("\r\n\r\n") + 4;
  EXPECT_GT(whole.size() - head, 50000u);
  EXPECT_NE(whole.find("Content-Length: " + std::to_string(whole.size() - head) + "\r\n"),
            std::string::npos);
  EXPECT_TRUE(whole.ends_with("    </body>\n</pdu>\n"));

  auto back = RoundTrip<CQueryRecordStatusAck>(ack.get());
  ASSERT_TRUE(back);
  RecordStatusEntry entry;
  int count = 0;
  while (back->NextStatus(&entry, false) == 0) {
    EXPECT_EQ(entry.recordSize, count);
    ++count;
  }
  EXPECT_EQ(count, kEntries);
}

}  // namespace
