#include "protocol/message/platform_pdus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <typeinfo>

#include "protocol/message/ds_parser.h"
#include "protocol/message/session_pdus.h"
#include "tests/protocol/message_test_util.h"

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

using kvr_test::Doc;

using kvr_test::Join;
using kvr_test::Text;

// The lines of the printed body between <body> and </body>, unindented by
// one level, or "<empty>" for "<body />".
std::string BodyLines(IZETAPDU* unit) {
  std::string xml = Text(unit->ToBuffer(kPduModeXml));
  if (xml.find("    <body />\n") != std::string::npos) return "<empty>";
  size_t begin = xml.find("    <body>\n");
  size_t end = xml.find("    </body>\n");
  if (begin == std::string::npos || end == std::string::npos) return "<no body in " + xml + ">";
  std::string lines;
  size_t at = begin + std::strlen("    <body>\n");
  while (at < end) {
    size_t next = xml.find('\n', at) + 1;
    lines += xml.substr(at + 4, next - at - 4);
    at = next;
  }
  return lines;
}

TEST(PlatformUnitsTest, RecordIndexCarriesTypesAndSourcesAsNames) {
  // Names are matched exactly; anything else is -1, and so is a missing one.
  for (const char* name : {"Motion", "alarm", "From Center", "Generals", ""}) {
    CRecordIndexQuery unknown(
        Doc("RecordIndex", "request", std::string("<recordType>") + name + "</recordType>"));
    EXPECT_TRUE(unknown.recordType == -1 && unknown.recordSource == -1) << name;
  }

  // A type without a name is left out and reads back -1.
  auto reply = CReferPtr<CRecordIndexQueryAck>(CRecordIndexQueryAck::Create(0));
  RecordIndexItem item;
  std::strcpy(item.puIp, "10.0.0.1");
  item.recordType = 7, item.recordSource = 1;
  EXPECT_EQ(reply->AddRecordIndex(item), 0);
  EXPECT_THAT(BodyLines(reply.get()), AllOf(Not(HasSubstr("recordType")),
                                            HasSubstr("<recordSource>From center</recordSource>")));

  // In a list, missing numbers read 0 and unreadable times stay as they were;
  // a member without puIp ends the list, even with other fields present.
  CRecordIndexQueryAck back(Doc("RecordIndex", "response",
                                "<recordIndexInfo><puIp>10.0.0.1</puIp><endTime>soon</endTime>"
                                "</recordIndexInfo><recordIndexInfo><puPort>1</puPort>"
                                "</recordIndexInfo>"));
  item.endTime = TimeRecord{2000, 1, 1, 0, 0, 0, 0};
  ASSERT_EQ(back.NextRecordIndex(&item, false), 0);
  EXPECT_EQ(std::tuple(item.endTime.year, item.puPort, item.recordType), std::tuple(2000, 0, -1));
  EXPECT_TRUE(back.NextRecordIndex(&item, false) == 3 && item.puPort == 1);
}

TEST(PlatformUnitsTest, DefaultUnitsWriteTheirDefaults) {
  const std::string device = "    <puPort>37777</puPort>\n    <puType>3</puType>\n";
  const std::tuple<const char*, std::function<IZETAPDU*()>, std::string> rows[] = {
      {"AddPu", [] { return CAddpu::Create(); }, device},
      {"AddPu reply", [] { return CAddpuAck::Create(0); }, device},
      {"DelPu", [] { return CDelpu::Create(); }, device},
      {"DelPu reply", [] { return CDelpuAck::Create(0); }, device},
      {"QueryPuInfo", [] { return CQuerypuInfo::Create(); }, device},
      {"MonitorStop", [] { return CMonitorStop::Create(); },
       device + "    <puChannel>0</puChannel>\n    <SSRC>0</SSRC>\n    <transType>0</transType>\n"
                "    <subStream>0</subStream>\n    <multiChannel>0</multiChannel>\n"},
      {"MonitorStart", [] { return CMonitorStart::Create(); },
       "    <puPort>0</puPort>\n    <puType>0</puType>\n    <puChannel>0</puChannel>\n"
       "    <SSRC>0</SSRC>\n    <localPort>0</localPort>\n    <transType>0</transType>\n"
       "    <subStream>0</subStream>\n    <multiChannel>0</multiChannel>\n"},
      {"PlayControl", [] { return CPlayControl::Create(); },
       "    <ctrlType>37777</ctrlType>\n    <ctrlInfo>3</ctrlInfo>\n"},
      {"ConnectInfo", [] { return CConnQuery::Create(); }, "    <type>3</type>\n"},
      {"CreateSession", [] { return CCreateSession::Create(); },
       "    <destPort>-1</destPort>\n    <type>-1</type>\n"},
      {"CreateSession reply", [] { return CCreateSessionAck::Create(0); },
       "    <srcPort>-1</srcPort>\n"},
      {"CloseSession", [] { return CCloseSession::Create(); }, "    <extInfo>-1</extInfo>\n"},
      // An unknown type (-1) has no name and is left out; the sources start at
      // slot 5 of the name table, so source -1 names slot 4.
      {"RecordIndex", [] { return CRecordIndexQuery::Create(); },
       "    <puPort>0</puPort>\n    <puType>3</puType>\n    <puChannel>0</puChannel>\n"
       "    <startTime>0-0-0 0:0:0</startTime>\n    <endTime>0-0-0 0:0:0</endTime>\n"
       "    <recordSource>Picture</recordSource>\n"},
      {"PlanInfo", [] { return CPlanInfo::Create(); },
       "    <planId>0</planId>\n    <type>0</type>\n    <interDay>false</interDay>\n"
       "    <checkNumber>0</checkNumber>\n    <saveDays>0</saveDays>\n"},
      {"PuDiagnosis", [] { return CPuDiagnosis::Create(); },
       "    <planId>0</planId>\n    <puPort>0</puPort>\n    <check>false</check>\n"},
      {"ModifyPlan reply", [] { return CPlanModifyAck::Create(5); }, "<empty>"},
  };
  for (const auto& [name, make, body] : rows) {
    CReferPtr<IZETAPDU> unit(make());
    EXPECT_EQ(BodyLines(unit.get()), body) << name;
  }

  // Loading never falls back to the defaults: a missing number is absent and
  // stays out of the re-encoded message.
  CAddpu loaded(Doc("AddPu", "request", "<puId>pu-9</puId>"));
  EXPECT_EQ(std::tuple(loaded.puPort, loaded.puType), std::tuple(ABSENT_VALUE, ABSENT_VALUE));
  EXPECT_EQ(BodyLines(&loaded), "    <puId>pu-9</puId>\n");
}

TEST(PlatformUnitsTest, VoiceActiveIsOnlyTheExactLowerCaseTrue) {
  std::string body;
  for (const char* text : {"true", "TRUE", "trueish", "1", ""}) {
    body += std::string("<voiceCheck><channelName>ch</channelName><voiceActive>") + text +
            "</voiceActive></voiceCheck>";
  }
  body += "<voiceCheck><channelName>none</channelName></voiceCheck>";
  // The device's "check" flag, unlike voiceActive, takes any text beginning "true".
  body += "<check>trueish</check>";
  CPuDiagnosis unit(Doc("PuDiagnosis", "request", body));
  std::string got = Join(+unit.check);
  DiagnosisChannelItem item;
  for (item.voiceActive = 9; unit.NextVoiceCheck(&item, false) == 0; item.voiceActive = 9)
    got += Join(item.voiceActive);
  EXPECT_EQ(got, "1|1|0|0|0|0|0|");

  auto out = CReferPtr<CPuDiagnosis>(CPuDiagnosis::Create());
  EXPECT_EQ(out->AddVoiceCheck({.channelName = "dock"}), 0);
  EXPECT_THAT(BodyLines(out.get()), HasSubstr("<voiceActive>false</voiceActive>"));
}

TEST(PlatformUnitsTest, DiagnosisListsHaveTheirOwnCursors) {
  CPuDiagnosis unit(Doc("PuDiagnosis", "request",
                        "<recordCheck><planId>1</planId><channelName>a</channelName></recordCheck>"
                        "<recordCheck><planId>2</planId><channelName>b</channelName></recordCheck>"
                        "<netCheck><channelNumber>4</channelNumber><channelName>c</channelName>"
                        "</netCheck>"
                        "<recordDaysCheck><channelName>d</channelName><recordDays>30</recordDays>"
                        "</recordDaysCheck>"));
  // Each list reads on with its own cursor; "" marks the end of a list, a restart starts over.
  using Next = int (CPuDiagnosis::*)(DiagnosisChannelItem*, bool);
  const Next record = &CPuDiagnosis::NextRecordCheck, net = &CPuDiagnosis::NextNetCheck;
  for (auto [next, restart, want] : {std::tuple{record, false, "a"},
                                     {net, false, "c"},
                                     {record, false, "b"},
                                     {record, false, ""},
                                     {net, false, ""},
                                     {&CPuDiagnosis::NextRecordDaysCheck, false, "d"},
                                     {&CPuDiagnosis::NextVoiceCheck, false, ""},
                                     {record, true, "a"}}) {
    DiagnosisChannelItem item;
    EXPECT_EQ((unit.*next)(&item, restart), *want ? 0 : 3) << want;
    EXPECT_STREQ(*want ? item.channelName : "", want);
  }
}

TEST(PlatformUnitsTest, DiagnosisReplyEndsItsFailuresAtAMissingPlanId) {
  CPuDiagnosisAck reply(Doc("PuDiagnosis", "response",
                            "<recordCheck><planId>5</planId><failType>1</failType></recordCheck>"
                            "<recordCheck><planId>6</planId></recordCheck>"
                            "<recordCheck><failType>2</failType></recordCheck>"
                            "<recordCheck><planId>8</planId><failType>3</failType></recordCheck>"
                            "<puId>pu-1</puId>"));
  EXPECT_STREQ(reply.puId, "pu-1");
  DiagnosisCheckItem item;
  std::string got;
  for (int i = 0; i < 3; ++i)
    got += Join(reply.NextRecordCheck(&item, false), item.planId, item.failType);
  EXPECT_EQ(got, "0|5|1|0|6|0|3|-1|2|");

  // Failures and channels written to "recordCheck" follow each other; the
  // "netCheck" channels are a list of their own.
  auto out = CReferPtr<CPuDiagnosisAck>(CPuDiagnosisAck::Create(0));
  EXPECT_EQ(out->AddRecordCheck({.planId = 7, .failType = 3}), 0);
  EXPECT_EQ(out->AddRecordCheckChannel(7, 4), 0);
  EXPECT_EQ(out->AddNetCheckChannel(7, 1), 0);
  std::strcpy(out->puId, "pu-2");
  EXPECT_EQ(BodyLines(out.get()),
            "    <recordCheck>\n        <planId>7</planId>\n        <failType>3</failType>\n"
            "    </recordCheck>\n    <recordCheck>\n        <planId>7</planId>\n"
            "        <channelNumber>4</channelNumber>\n    </recordCheck>\n    <netCheck>\n"
            "        <planId>7</planId>\n        <channelNumber>1</channelNumber>\n"
            "    </netCheck>\n    <puId>pu-2</puId>\n");
}

TEST(PlatformUnitsTest, CoverConfigsEndWithThree) {
  CCoverConfig unit(Doc("ChannelCoverConfig", "request",
                        "<coverConfigs><X0>1</X0><Y0>2</Y0><width>3</width><heigth>4</heigth>"
                        "</coverConfigs><coverConfigs><X0>5</X0><width>7</width></coverConfigs>"));
  CoverConfigItem item;
  ASSERT_TRUE(unit.NextCover(&item, false) == 0 && unit.NextCover(&item, false) == 0);
  EXPECT_EQ(std::tuple(item.X0, item.heigth), std::tuple(5, 0));
  // The end stays the end.
  EXPECT_TRUE(unit.NextCover(&item, false) == 3 && unit.NextCover(&item, false) == 3 &&
              item.X0 == 0);
}

TEST(PlatformUnitsTest, MediaInfoQueryIsNeverMadeFromAMessage) {
  CDsParser* parser = CDsParser::Instance();
  parser->SetMode(kPduModeHttp);
  auto request = CReferPtr<CMediaInfoQuery>(CMediaInfoQuery::Create());
  std::strcpy(request->channelUrl, "rtsp://10.0.0.1/ch1");
  request->bandWidth = 4096;

  // What it prints is a well-formed "MediaInfoQuery" message, yet the parser
  // has no unit for it.
  CReferPtr<IZETAPDU> parsed(parser->CreatePDU(Text(request->ToBuffer()).c_str()));
  CReferPtr<IZETAPDU> ack(request->CreateAck(0));
  ASSERT_TRUE(parsed && ack);
  CReferPtr<IZETAPDU> parsedAck(parser->CreatePDU(Text(ack->ToBuffer()).c_str()));
  ASSERT_TRUE(parsedAck);
  EXPECT_EQ(
      Join(typeid(*parsed).name(), parsed->GetCmdId(), parser->GetLastError(), typeid(*ack).name(),
           ack->GetCommandName(), typeid(*parsedAck).name()),
      Join(typeid(CInvalidPacket).name(), kCmdMediaInfoQuery, 0, typeid(CMediaInfoQueryAck).name(),
           "MediaInfoQuery", typeid(CInvalidPacketAck).name()));
}

TEST(PlatformUnitsTest, MediaInfoReplyNumbersByListIndexAndKey) {
  auto reply = CReferPtr<CMediaInfoQueryAck>(CMediaInfoQueryAck::Create(0));
  // An absent value is left out.
  EXPECT_TRUE(reply->SetListNumber("stream", 0, "width", 1920) == 0 &&
              reply->SetListNumber("stream", 1, "width", -704) == 0 &&
              reply->SetListNumber("stream", 1, "height", ABSENT_VALUE) == 0 &&
              reply->SetListNumber(nullptr, 0, "width", 1) == 5 &&
              reply->SetListNumber("stream", -1, "width", 1) == 5);
  EXPECT_EQ(BodyLines(reply.get()),
            "    <stream>\n        <width>1920</width>\n    </stream>\n"
            "    <stream>\n        <width>-704</width>\n    </stream>\n");

  CMediaInfoQueryAck back(std::make_unique<CXMLDoc>(Text(reply->ToBuffer(kPduModeXml))));
  int32_t width = 99, height = 99, value = 0;
  CMediaInfoQueryAck detached;
  EXPECT_EQ(Join(back.GetListNumber("stream", 1, "width", &width), width,
                 back.GetListNumber("stream", 1, "height", &height), height,
                 back.GetListNumber("stream", 0, "width", nullptr),
                 back.GetListNumber("stream", -1, "width", &value),
                 detached.GetListNumber("stream", 0, "width", &value),
                 detached.SetListNumber("stream", 0, "width", 1)),
            Join(0, -704, 3, 0, 5, 5, 5, 5));
}

}  // namespace
