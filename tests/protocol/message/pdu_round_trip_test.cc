// Sample messages of units with every field kind (texts, signed and
// unsigned numbers, times, names, lists, escaped texts, a key read under one
// name and written under another): each is parsed as a client would send it,
// must give the right class with the expected values, and a unit made afresh
// from those values (lists copied member by member through the readers and
// writers) must print the same body. A second table pins the factory row of
// every command.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "protocol/message/ds_parser.h"
#include "protocol/message/pdu_factory.h"
#include "protocol/message/platform_pdus.h"
#include "protocol/message/session_pdus.h"
#include "protocol/message/store_pdus.h"
#include "tests/protocol/message_test_util.h"

namespace {

using kvr::pdu::CommandName;
using kvr::pdu::FieldKind;
using kvr::pdu::GetKVRCngParamsAckFields;
using kvr::pdu::kCommandCount;
using kvr::pdu::kPduModeHttp;
using kvr::pdu::kPduModeXml;
using kvr::pdu::kResultSuccess;
using kvr::pdu::ListPath;
using kvr::pdu::PduFactoryRow;
using kvr::pdu::PduFactoryRowOf;
using kvr::pdu::PduField;
using kvr::pdu::PduFields;
using kvr::pdu::PduList;
using kvr::pdu::PrintTimeText;
using kvr::pdu::TimeRecord;
using kvr::pdu::TRequestPDU;
using kvr::pdu::TResponsePDU;

// The field block and the reply class of a unit class.
template <class S, class F, int C>
F FieldsOfBase(const TResponsePDU<S, F, C>*);
template <class S, class F, int C, class A>
F FieldsOfBase(const TRequestPDU<S, F, C, A>*);
template <class Unit>
using FieldsOf = decltype(FieldsOfBase(static_cast<const Unit*>(nullptr)));
template <class S, class F, int C, class A>
A AckOfBase(const TRequestPDU<S, F, C, A>*);
template <class Unit>
using AckOf = decltype(AckOfBase(static_cast<const Unit*>(nullptr)));

using kvr_test::Envelope;
using kvr_test::Http;
using kvr_test::Text;

// The printed body element of a printed envelope.
std::string BodyOf(const std::string& printed) {
  size_t begin = printed.find("    <body");
  size_t end = printed.find("</pdu>");
  return begin == std::string::npos || end == std::string::npos
             ? "<no body in " + printed + ">"
             : printed.substr(begin, end - begin);
}

// How the document prints `body`.
std::string PrintedBody(const std::string& operation, bool request, const std::string& body) {
  CXMLDoc doc(Envelope(operation, request, body));
  return BodyOf(doc.GetText());
}

// A declared field of a field block (or list item) as text, so that a difference shows.
std::string Shown(const PduField& field, const void* block) {
  const char* at = static_cast<const char*>(field.at(const_cast<void*>(block)));
  std::string text(at, field.kind == FieldKind::kText ? strnlen(at, field.width) : field.width);
  if (field.kind == FieldKind::kTime) PrintTimeText(reinterpret_cast<const TimeRecord*>(at), &text);
  int32_t number;
  if (field.kind != FieldKind::kText && field.width == sizeof(number)) {
    std::memcpy(&number, at, sizeof(number));
    text = std::to_string(number);
  }
  return text;
}

void ExpectSameFields(PduFields fields, const void* want, const void* got,
                      const std::string& where) {
  for (const PduField& field : fields) {
    EXPECT_EQ(Shown(field, want), Shown(field, got)) << where << " " << field.key;
  }
}

// Checks one list of a parsed unit against `want` and copies it into a
// fresh unit with the list writer.
template <class Unit>
using ListStep = std::function<void(Unit* parsed, Unit* fresh, const std::string& where)>;

template <class Unit, class Item>
ListStep<Unit> List(const PduList<Item>& list, std::vector<Item> want) {
  return [&list, want](Unit* parsed, Unit* fresh, const std::string& where) {
    size_t count = 0;
    for (;;) {
      Item got;
      if (parsed->NextListItem(list, &got, count == 0) != kResultSuccess) break;
      std::string at = where + " " + list.name + "(" + std::to_string(count) + ")";
      ASSERT_LT(count, want.size()) << at;
      // Every member of the sample is there, so every field is read.
      for (const PduField& field : list.fields) {
        EXPECT_NE(parsed->GetDoc()->GetValue(
                      ListPath(list.name, static_cast<int>(count), field.key).c_str()),
                  nullptr)
            << at << " has no " << field.key;
      }
      ExpectSameFields(list.fields, &want[count], &got, at);
      EXPECT_EQ(fresh->AddListItem(list, got), kResultSuccess) << at;
      ++count;
    }
    EXPECT_EQ(count, want.size()) << where << " " << list.name;
  };
}

// Runs one sample; its failures name the operation and side.
using Sample = std::function<void()>;

// A sample message of `Unit`: its body (lists first, in the order a maker
// writes them), the values it must load, its lists, and the body a unit
// with those values prints when that differs from the sample's.
template <class Unit>
Sample Case(std::string body, FieldsOf<Unit> want, std::vector<ListStep<Unit>> lists = {},
            std::string encoded = "") {
  using Fields = FieldsOf<Unit>;
  constexpr bool kRequest = std::is_base_of_v<IRequestPDU, Unit>;
  std::string operation = CommandName(Unit::kCommand);
  return [=] {
    std::string where = operation + (kRequest ? " request" : " response");
    CReferPtr<IZETAPDU> unit(CDsParser::Instance()->CreatePDU(
        Http(operation, kRequest, Envelope(operation, kRequest, body)).c_str()));
    ASSERT_TRUE(unit && typeid(*unit) == typeid(Unit)) << where;
    auto* parsed = static_cast<Unit*>(unit.get());
    EXPECT_EQ(parsed->GetStatus(), 0) << where;
    for (const PduField& field : Fields::kFields) {
      EXPECT_NE(parsed->GetDoc()->GetValue(field.key), nullptr) << where << " has no " << field.key;
    }
    ExpectSameFields(Fields::kFields, &want, static_cast<const Fields*>(parsed), where);
    std::string sourceBody = BodyOf(parsed->GetDoc()->GetText());

    CReferPtr<Unit> fresh;
    if constexpr (kRequest) {
      fresh = Unit::Create();
      CReferPtr<IZETAPDU> ack(parsed->CreateAck(kResultSuccess));
      EXPECT_TRUE(ack && typeid(*ack) == typeid(AckOf<Unit>)) << where;
    } else {
      fresh = Unit::Create(kResultSuccess);
    }
    static_cast<Fields&>(*fresh) = static_cast<const Fields&>(*parsed);
    for (const ListStep<Unit>& list : lists) list(parsed, fresh.get(), where);
    std::string out = Text(fresh->ToBuffer(kPduModeXml));
    EXPECT_EQ(BodyOf(out), encoded.empty() ? sourceBody : PrintedBody(operation, kRequest, encoded))
        << where;
    if (!encoded.empty()) return;

    // What the fresh unit sends goes to the command's path and reads back as
    // the same values.
    std::string sent = Text(fresh->ToBuffer(kPduModeHttp));
    EXPECT_TRUE(!kRequest || sent.starts_with("POST /" + operation + " HTTP/1.1\r\n")) << sent;
    CReferPtr<IZETAPDU> again(CDsParser::Instance()->CreatePDU(sent.c_str()));
    ASSERT_TRUE(again && typeid(*again) == typeid(Unit)) << where;
    ExpectSameFields(Fields::kFields, &want,
                     static_cast<const Fields*>(static_cast<Unit*>(again.get())), where + " again");
  };
}

// clang-format off
std::vector<Sample> Samples() {
  return {
      Case<CRegister>("<cuId>cu-7</cuId><cuIp>10.1.2.3</cuIp><cuName>operator</cuName>"
          "<cuPassword>s3cret</cuPassword><cuType>2</cuType>",
          {.cuId = "cu-7", .cuIp = "10.1.2.3", .cuName = "operator", .cuPassword = "s3cret",
          .cuType = 2}),
      Case<CQuerypuInfoAck>(
          "<puInfo><puId>pu-1</puId><puIp>10.0.0.1</puIp><puPort>8000</puPort><puType>5</puType>"
          "<puChannel>1</puChannel><puStatus>1</puStatus><clientSave>0</clientSave></puInfo>"
          "<puInfo><puId>pu-2</puId><puIp>10.0.0.2</puIp><puPort>8001</puPort><puType>6</puType>"
          "<puChannel>2</puChannel><puStatus>0</puStatus><clientSave>1</clientSave></puInfo>"
          "<morePacket>1</morePacket>",
          {.morePacket = 1},
          {List<CQuerypuInfoAck>(CQuerypuInfoAck::kPuInfo,
          {{"pu-1", "10.0.0.1", 8000, 5, 1, 1, 0}, {"pu-2", "10.0.0.2", 8001, 6, 2, 0, 1}})}),
      Case<CRecordIndexQuery>("<puIp>10.0.0.1</puIp><puPort>8000</puPort><puType>5</puType>"
          "<puChannel>3</puChannel><startTime>2024-5-6 7:8:9</startTime>"
          "<endTime>2024-5-6 23:59:59</endTime><recordType>MoveDetect</recordType>"
          "<recordSource>From center</recordSource>",
          {.puIp = "10.0.0.1", .puPort = 8000, .puType = 5, .puChannel = 3,
          .startTime = {2024, 5, 6, 7, 8, 9}, .endTime = {2024, 5, 6, 23, 59, 59}, .recordType = 2,
          .recordSource = 1}),
      Case<CRecordIndexQueryAck>(
          "<recordIndexInfo><puIp>10.0.0.1</puIp><puPort>8000</puPort><puType>5</puType>"
          "<puChannel>3</puChannel><startTime>2024-5-6 7:8:9</startTime>"
          "<endTime>2024-5-6 8:0:0</endTime><recordLength>3051</recordLength>"
          "<recordType>Alarm</recordType><recordSource>From Dvr</recordSource>"
          "<recordFileUrl>/rec/a.dat</recordFileUrl></recordIndexInfo><morePacket>1</morePacket>",
          {.morePacket = 1},
          {List<CRecordIndexQueryAck>(CRecordIndexQueryAck::kRecords, {{"10.0.0.1", 8000, 5, 3,
          {2024, 5, 6, 7, 8, 9}, {2024, 5, 6, 8, 0, 0}, 3051, 1, 0, "/rec/a.dat"}})}),
      Case<CGetKVRCngParamsAck>(
          "<storeVolumelist><volumeName>data1</volumeName><volumePath>/mnt/data1</volumePath>"
          "<volumeType>1</volumeType><volumeRest>900</volumeRest><useCount>2</useCount>"
          "</storeVolumelist><cngType>1</cngType><maxRecordNumber>500</maxRecordNumber>"
          "<recoverMethod>1</recoverMethod><reservedSpace>2048</reservedSpace>"
          "<reservedvolumeSpace>1024</reservedvolumeSpace>",
          {.cngType = 1, .maxRecordNumber = 500, .recoverMethod = 1, .reservedSpace = 2048,
          .reservedvolumeSpace = 1024},
          {List<CGetKVRCngParamsAck>(GetKVRCngParamsAckFields::kVolumes,
          {{"data1", "/mnt/data1", 1, 900, 2}})}),
      // The source type is read as "puType" and written as "mediaType".
      Case<CRecordMedia>(
          "<vsDestIp>10.0.0.5</vsDestIp><vsDestPort>554</vsDestPort><puIp>10.0.0.1</puIp>"
          "<puPort>8000</puPort><puChannel>2</puChannel><puType>5</puType>"
          "<recordType>1</recordType><writeFileUrl>/pu-1/2/0506.dat</writeFileUrl>"
          "<readFileUrl>rtsp://10.0.0.1:554/ch2</readFileUrl><volumn>data1</volumn>"
          "<limitSize>1024</limitSize><limitTime>3600</limitTime>",
          {.vsDestIp = "10.0.0.5", .vsDestPort = 554, .puIp = "10.0.0.1", .puPort = 8000,
          .puChannel = 2, .puType = 5, .recordType = 1, .writeFileUrl = "/pu-1/2/0506.dat",
          .readFileUrl = "rtsp://10.0.0.1:554/ch2", .volumn = "data1", .limitSize = 1024,
          .limitTime = 3600}, {},
          "<vsDestIp>10.0.0.5</vsDestIp><vsDestPort>554</vsDestPort><puIp>10.0.0.1</puIp>"
          "<puPort>8000</puPort><puChannel>2</puChannel><mediaType>5</mediaType>"
          "<recordType>1</recordType><writeFileUrl>/pu-1/2/0506.dat</writeFileUrl>"
          "<readFileUrl>rtsp://10.0.0.1:554/ch2</readFileUrl><volumn>data1</volumn>"
          "<limitSize>1024</limitSize><limitTime>3600</limitTime>"),
      Case<CPtzControl>("<channelUrl>rtsp://10.0.0.1/ch1</channelUrl><command>21</command>"
          "<param>zoom=2&amp;speed=5</param><ptzStop>1</ptzStop>",
          {.channelUrl = "rtsp://10.0.0.1/ch1", .command = 21, .param = "zoom=2&speed=5",
          .ptzStop = 1}),
      Case<CPlanAdd>("<planId>3000000000</planId><type>2</type>",
          {.planId = 3000000000u, .type = 2}),
      Case<CPuDiagnosis>("<recordCheck><planId>21</planId><channelNumber>1</channelNumber>"
          "<channelName>gate</channelName></recordCheck>"
          "<netCheck><planId>21</planId><channelNumber>2</channelNumber>"
          "<channelName>yard</channelName></netCheck>"
          "<recordDaysCheck><planId>21</planId><channelNumber>3</channelNumber>"
          "<channelName>dock</channelName><recordDays>7</recordDays></recordDaysCheck>"
          "<voiceCheck><planId>21</planId><channelNumber>4</channelNumber>"
          "<channelName>hall</channelName><voiceActive>true</voiceActive></voiceCheck>"
          "<planId>21</planId><puId>pu-0001</puId><puIp>192.168.1.64</puIp><puPort>37777</puPort>"
          "<check>true</check><manufacturer>acme</manufacturer><userName>admin</userName>"
          "<passWord>pw-9</passWord><puName>north gate</puName>",
          {.planId = 21, .puId = "pu-0001", .puIp = "192.168.1.64", .puPort = 37777, .check = 1,
          .manufacturer = "acme", .userName = "admin", .passWord = "pw-9", .puName = "north gate"},
          {List<CPuDiagnosis>(CPuDiagnosis::kRecordChecks,
          {{.planId = 21, .channelNumber = 1, .channelName = "gate"}}),
          List<CPuDiagnosis>(CPuDiagnosis::kNetChecks,
          {{.planId = 21, .channelNumber = 2, .channelName = "yard"}}), List<CPuDiagnosis>(
          CPuDiagnosis::kRecordDaysChecks,
          {{.planId = 21, .channelNumber = 3, .channelName = "dock", .recordDays = 7}}),
          List<CPuDiagnosis>(CPuDiagnosis::kVoiceChecks,
          {{.planId = 21, .channelNumber = 4, .channelName = "hall", .voiceActive = 1}})}),
      Case<CDiagnoseResult>("<recordLost><planRecBeginTime>2024-05-06 08:00:00</planRecBeginTime>"
          "<planRecEndTime>2024-05-06 09:00:00</planRecEndTime>"
          "<recLostBeginTime>2024-05-06 08:10:00</recLostBeginTime>"
          "<recLostEndTime>2024-05-06 08:20:00</recLostEndTime></recordLost><puId>pu-0001</puId>"
          "<puName>north gate</puName><channelName>yard</channelName>"
          "<channelNumber>2</channelNumber><diagnoseType>video</diagnoseType>"
          "<subType>blur</subType><score>42</score><isAlarm>true</isAlarm>"
          "<notes>focus drifted &lt;5%&gt;</notes><reportTime>2024-05-06 09:00:00</reportTime>"
          "<picPath>/pics/pu-0001/2.jpg</picPath><planId>21</planId>"
          "<rtspUrl>rtsp://10.0.0.1/ch2</rtspUrl><playHandle>7</playHandle>",
          {.puId = "pu-0001", .puName = "north gate", .channelName = "yard", .channelNumber = 2,
          .diagnoseType = "video", .subType = "blur", .score = 42, .isAlarm = 1,
          .notes = "focus drifted <5%>", .reportTime = "2024-05-06 09:00:00",
          .picPath = "/pics/pu-0001/2.jpg", .planId = 21, .rtspUrl = "rtsp://10.0.0.1/ch2",
          .playHandle = 7},
          {List<CDiagnoseResult>(CDiagnoseResult::kRecordLost,
          {{"2024-05-06 08:00:00", "2024-05-06 09:00:00",
          "2024-05-06 08:10:00", "2024-05-06 08:20:00"}})}),
  };
}

// Which classes an empty message of each command becomes, both ways.
template <class Request, class Reply>
void ExpectRow(std::set<int>* ids) {
  static_assert(Request::kCommand == Reply::kCommand);
  ids->insert(Request::kCommand);
  std::string operation = CommandName(Request::kCommand);
  for (bool request : {true, false}) {
    CReferPtr<IZETAPDU> unit(CDsParser::Instance()->CreatePDU(
        Http(operation, request, Envelope(operation, request, "")).c_str()));
    EXPECT_TRUE(unit && typeid(*unit) == (request ? typeid(Request) : typeid(Reply))) << operation;
  }
}

template <class Request, class Reply, class... Rest>
void ExpectRows(std::set<int>* ids) {
  ExpectRow<Request, Reply>(ids);
  if constexpr (sizeof...(Rest) > 0) ExpectRows<Rest...>(ids);
}
// clang-format on

TEST(PduRoundTripTest, EverySampleParsesIntoItsClassAndPrintsTheSameBody) {
  CDsParser::Instance()->SetMode(kPduModeHttp);
  for (const Sample& sample : Samples()) sample();
}

TEST(PduRoundTripTest, EveryCommandWithAFactoryRowMakesItsClassesBothWays) {
  CDsParser::Instance()->SetMode(kPduModeHttp);
  std::set<int> ids;
  // clang-format off
  ExpectRows<CRegister, CRegisterAck, CKeepAlive, CKeepAliveAck, CAddpu, CAddpuAck, CDelpu, CDelpuAck,
       CQuerypuInfo, CQuerypuInfoAck, CMonitorStart, CMonitorStartAck, CMonitorStop,
       CMonitorStopAck, CConnQuery, CConnQueryAck, CRecordPlay, CRecordPlayAck, CPlayControl,
       CPlayControlAck, CRecordIndexQuery, CRecordIndexQueryAck, CGetKVRCngParams,
       CGetKVRCngParamsAck, CSetKVRCngParams, CSetKVRCngParamsAck, CRecordMedia, CRecordMediaAck,
       CRecordMediaControl, CRecordMediaControlAck, CDelRecordMedia, CDelRecordMediaAck,
       CQueryRecordStatus, CQueryRecordStatusAck, CRecordEvent, CRecordEventAck,
       CRecordMediaSaveAs, CRecordMediaSaveAsAck, CAudioTalkStart, CAudioTalkStartAck,
       CAudioTalkStop, CAudioTalkStopAck, CCreateSession, CCreateSessionAck, CCloseSession,
       CCloseSessionAck, CPtzControl, CPtzControlAck, CPlanAdd, CPlanAddAck, CPlanDel, CPlanDelAck,
       CPlanModify, CPlanModifyAck, CPlanExecute, CPlanExecuteAck, CPlanInfo, CPlanInfoAck,
       CPlanLog, CPlanLogAck, CPuDiagnosis, CPuDiagnosisAck, CSmartDiagnosis, CSmartDiagnosisAck,
       CDiagnoseResult, CDiagnoseResultAck, CCapturePicture, CCapturePictureAck, CBackupRecord,
       CBackupRecordAck, CRecordIndex, CRecordIndexAck, CLastIndex, CLastIndexAck, CRequestSpace,
       CRequestSpaceAck, CCloseServer, CCloseServerAck, CCoverConfig, CCoverConfigAck,
       CChangeServerAddr, CChangeServerAddrAck>(&ids);
  // clang-format on
  std::set<int> rows;
  for (int id = 0; id < kCommandCount; ++id) {
    const PduFactoryRow& row = PduFactoryRowOf(id);
    if (row.request != nullptr || row.response != nullptr) rows.insert(id);
  }
  // Every command but "MediaData" and "MediaInfoQuery" has its units.
  EXPECT_EQ(rows.size(), static_cast<size_t>(kCommandCount - 2));
  EXPECT_EQ(ids, rows);
}

}  // namespace
