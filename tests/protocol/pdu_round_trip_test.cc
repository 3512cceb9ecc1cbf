// Every command with a factory row, both directions, from one table of
// sample messages: each sample is parsed as a client would send it, must
// give the right class with the expected values, and a unit made afresh
// from those values (lists copied member by member through the readers and
// writers) must print the same body.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "protocol/ds_parser.h"
#include "protocol/pdu_factory.h"
#include "protocol/platform_pdus.h"
#include "protocol/session_pdus.h"
#include "protocol/store_pdus.h"

namespace {

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

std::string Envelope(const std::string& operation, bool request, const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<pdu><head><operation>" + operation +
         "</operation><type>" + (request ? "request" : "response") +
         "</type><session>12</session><sequence>7</sequence><result code=\"0\">Sucess</result>"
         "</head><body>" +
         body + "</body></pdu>\n";
}

std::string Http(const std::string& operation, bool request, const std::string& xml) {
  std::string length = "Content-Length: " + std::to_string(xml.size()) + "\r\n";
  return request ? "POST /" + operation + " HTTP/1.1\r\n" + length + "CSeq: 7\r\n\r\n" + xml
                 : "HTTP/1.1 200 OK\r\n" + length + "\r\n" + xml;
}

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

std::string Text(const CReferPtr<CAutoBuffer>& buffer) {
  return buffer ? std::string(buffer->Data(), static_cast<size_t>(buffer->Size())) : "<null>";
}

// Compares the declared fields of two field blocks (or list items).
void ExpectSameFields(PduFields fields, const void* want, const void* got,
                      const std::string& where) {
  for (const PduField& field : fields) {
    const void* a = field.at(const_cast<void*>(want));
    const void* b = field.at(const_cast<void*>(got));
    if (field.kind == FieldKind::kText) {
      EXPECT_EQ(std::string(static_cast<const char*>(a),
                            strnlen(static_cast<const char*>(a), field.width)),
                std::string(static_cast<const char*>(b),
                            strnlen(static_cast<const char*>(b), field.width)))
          << where << " " << field.key;
    } else if (field.width == sizeof(int32_t)) {
      int32_t x;
      int32_t y;
      std::memcpy(&x, a, sizeof(x));
      std::memcpy(&y, b, sizeof(y));
      EXPECT_EQ(x, y) << where << " " << field.key;
    } else if (field.kind == FieldKind::kTime) {
      std::string x;
      std::string y;
      PrintTimeText(static_cast<const TimeRecord*>(a), &x);
      PrintTimeText(static_cast<const TimeRecord*>(b), &y);
      EXPECT_EQ(x, y) << where << " " << field.key;
    } else {
      EXPECT_EQ(std::memcmp(a, b, field.width), 0) << where << " " << field.key;
    }
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

struct Sample {
  std::string operation;
  bool request;
  std::function<void()> run;
};

// A sample message of `Unit`: its body (lists first, in the order a maker
// writes them), the values it must load, its lists, and the body a unit
// with those values prints when that differs from the sample's.
template <class Unit>
Sample Case(std::string body, FieldsOf<Unit> want, std::vector<ListStep<Unit>> lists = {},
            std::string encoded = "") {
  using Fields = FieldsOf<Unit>;
  constexpr bool kRequest = std::is_base_of_v<IRequestPDU, Unit>;
  std::string operation = CommandName(Unit::kCommand);
  auto run = [=] {
    std::string where = operation + (kRequest ? " request" : " response");
    CReferPtr<IZETAPDU> unit(CDsParser::Instance()->CreatePDU(
        Http(operation, kRequest, Envelope(operation, kRequest, body)).c_str()));
    ASSERT_TRUE(unit) << where;
    ASSERT_EQ(typeid(*unit), typeid(Unit)) << where;
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
      ASSERT_TRUE(ack) << where;
      EXPECT_EQ(typeid(*ack), typeid(AckOf<Unit>)) << where;
    } else {
      fresh = Unit::Create(kResultSuccess);
    }
    static_cast<Fields&>(*fresh) = static_cast<const Fields&>(*parsed);
    for (const ListStep<Unit>& list : lists) list(parsed, fresh.get(), where);
    std::string out = Text(fresh->ToBuffer(kPduModeXml));
    EXPECT_EQ(BodyOf(out), encoded.empty() ? sourceBody : PrintedBody(operation, kRequest, encoded))
        << where;
    if (!encoded.empty()) return;

    // What the fresh unit sends reads back as the same values.
    CReferPtr<IZETAPDU> again(
        CDsParser::Instance()->CreatePDU(Text(fresh->ToBuffer(kPduModeHttp)).c_str()));
    ASSERT_TRUE(again) << where;
    ASSERT_EQ(typeid(*again), typeid(Unit)) << where;
    ExpectSameFields(Fields::kFields, &want,
                     static_cast<const Fields*>(static_cast<Unit*>(again.get())), where + " again");
  };
  return Sample{operation, kRequest, run};
}

// Texts shared by several samples.
#define PU_ID "<puId>pu-0001</puId>"
#define PU_IP "<puIp>192.168.1.64</puIp>"
#define PU_LOGIN \
  "<manufacturer>acme</manufacturer><userName>admin</userName><passWord>pw-9</passWord>"

// Replies that carry no field of their own.
template <class... Units>
void AddEmpty(std::vector<Sample>* samples) {
  (samples->push_back(Case<Units>("", {})), ...);
}

// clang-format off
std::vector<Sample> Samples() {
  std::vector<Sample> samples = {
      // ---- session
      Case<CRegister>("<cuId>cu-7</cuId><cuIp>10.1.2.3</cuIp><cuName>operator</cuName>"
          "<cuPassword>s3cret</cuPassword><cuType>2</cuType>",
          {.cuId = "cu-7", .cuIp = "10.1.2.3", .cuName = "operator", .cuPassword = "s3cret",
          .cuType = 2}),
      Case<CRegisterAck>("<expires>60</expires><enableLongConnection>1</enableLongConnection>",
          {.expires = 60, .enableLongConnection = 1}),
      Case<CKeepAlive>(
          "<cuId>cu-7</cuId><cuName>operator</cuName><keepAlivePeriod>30</keepAlivePeriod>",
          {.cuId = "cu-7", .cuName = "operator", .keepAlivePeriod = 30}),

      // ---- devices
      Case<CAddpu>(PU_ID PU_IP "<puPort>8000</puPort><puType>5</puType><puName>gate camera</puName>"
          "<puPassword>admin123</puPassword><manufacturer>acme</manufacturer>",
          {.puId = "pu-0001", .puIp = "192.168.1.64", .puPort = 8000, .puType = 5,
          .puName = "gate camera", .puPassword = "admin123", .manufacturer = "acme"}),
      Case<CAddpuAck>(PU_ID PU_IP "<puPort>8000</puPort><puType>5</puType>",
          {.puId = "pu-0001", .puIp = "192.168.1.64", .puPort = 8000, .puType = 5}),
      Case<CDelpu>("<puId>pu-0002</puId><puIp>192.168.1.65</puIp><puPort>8001</puPort>"
          "<puType>6</puType>",
          {.puId = "pu-0002", .puIp = "192.168.1.65", .puPort = 8001, .puType = 6}),
      Case<CDelpuAck>("<puId>pu-0003</puId><puIp>192.168.1.66</puIp><puPort>8002</puPort>"
          "<puType>7</puType>",
          {.puId = "pu-0003", .puIp = "192.168.1.66", .puPort = 8002, .puType = 7}),
      Case<CQuerypuInfo>(PU_IP "<puPort>8000</puPort><puType>5</puType>",
          {.puIp = "192.168.1.64", .puPort = 8000, .puType = 5}),
      Case<CQuerypuInfoAck>(
          "<puInfo><puId>pu-1</puId><puIp>10.0.0.1</puIp><puPort>8000</puPort><puType>5</puType>"
          "<puChannel>1</puChannel><puStatus>1</puStatus><clientSave>0</clientSave></puInfo>"
          "<puInfo><puId>pu-2</puId><puIp>10.0.0.2</puIp><puPort>8001</puPort><puType>6</puType>"
          "<puChannel>2</puChannel><puStatus>0</puStatus><clientSave>1</clientSave></puInfo>"
          "<morePacket>1</morePacket>",
          {.morePacket = 1},
          {List<CQuerypuInfoAck>(CQuerypuInfoAck::kPuInfo,
          {{"pu-1", "10.0.0.1", 8000, 5, 1, 1, 0}, {"pu-2", "10.0.0.2", 8001, 6, 2, 0, 1}})}),

      // ---- monitoring
      Case<CMonitorStart>("<puIp>10.0.0.1</puIp><puPort>8000</puPort><puType>5</puType>"
          "<puChannel>2</puChannel><SSRC>123456</SSRC><localIp>10.0.0.9</localIp>"
          "<localPort>30000</localPort><transType>1</transType>"
          "<subStream>1</subStream><multiChannel>4</multiChannel>",
          {.puIp = "10.0.0.1", .puPort = 8000, .puType = 5, .puChannel = 2, .SSRC = 123456,
          .localIp = "10.0.0.9", .localPort = 30000, .transType = 1, .subStream = 1,
          .multiChannel = 4}),
      Case<CMonitorStop>("<puIp>10.0.0.1</puIp><puPort>8000</puPort><puType>5</puType>"
          "<puChannel>2</puChannel><SSRC>123457</SSRC><transType>2</transType>"
          "<subStream>0</subStream><multiChannel>3</multiChannel>",
          {.puIp = "10.0.0.1", .puPort = 8000, .puType = 5, .puChannel = 2, .SSRC = 123457,
          .transType = 2, .subStream = 0, .multiChannel = 3}),
      Case<CConnQuery>("<type>7</type>", {.type = 7}),
      Case<CConnQueryAck>("<connectInfo><cuIp>10.0.0.20</cuIp><cuPort>5060</cuPort>"
          "<requestInfo>MonitorStart</requestInfo><objectInfo>pu-1/2</objectInfo>"
          "<flux>2048</flux></connectInfo><morePacket>0</morePacket>",
          {.morePacket = 0},
          {List<CConnQueryAck>(CConnQueryAck::kConnections,
          {{"10.0.0.20", 5060, "MonitorStart", "pu-1/2", 2048}})}),

      // ---- playback
      Case<CRecordPlay>("<puIp>10.0.0.1</puIp><puPort>8000</puPort><puType>5</puType>"
          "<puChannel>3</puChannel><mediaType>2</mediaType>"
          "<localIp>10.0.0.9</localIp><localPort>30002</localPort>"
          "<transType>1</transType><recordFileUrl>/rec/pu-1/3/0506.dat</recordFileUrl>"
          "<recordSource>1</recordSource>",
          {.puIp = "10.0.0.1", .puPort = 8000, .puType = 5, .puChannel = 3, .mediaType = 2,
          .localIp = "10.0.0.9", .localPort = 30002, .transType = 1,
          .recordFileUrl = "/rec/pu-1/3/0506.dat", .recordSource = 1}),
      Case<CPlayControl>("<recordFileUrl>/rec/pu-1/3/0506.dat</recordFileUrl>"
          "<ctrlType>4</ctrlType><ctrlInfo>16</ctrlInfo>",
          {.recordFileUrl = "/rec/pu-1/3/0506.dat", .ctrlType = 4, .ctrlInfo = 16}),
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
          "<recordFileUrl>/rec/a.dat</recordFileUrl></recordIndexInfo>"
          "<recordIndexInfo><puIp>10.0.0.2</puIp><puPort>8001</puPort><puType>6</puType>"
          "<puChannel>4</puChannel><startTime>2024-5-6 8:0:0</startTime>"
          "<endTime>2024-5-6 9:0:0</endTime><recordLength>3600</recordLength>"
          "<recordType>Picture</recordType><recordSource>From center</recordSource>"
          "<recordFileUrl>/rec/b.dat</recordFileUrl></recordIndexInfo><morePacket>1</morePacket>",
          {.morePacket = 1},
          {List<CRecordIndexQueryAck>(CRecordIndexQueryAck::kRecords, {{"10.0.0.1", 8000, 5, 3,
          {2024, 5, 6, 7, 8, 9}, {2024, 5, 6, 8, 0, 0}, 3051, 1, 0, "/rec/a.dat"}, {"10.0.0.2",
          8001, 6, 4, {2024, 5, 6, 8, 0, 0}, {2024, 5, 6, 9, 0, 0}, 3600, 4, 1, "/rec/b.dat"}})}),

      // ---- storage
      Case<CGetKVRCngParams>("<cngType>1</cngType>", {.cngType = 1}),
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
      Case<CSetKVRCngParams>(
          "<storeVolumelist><volumeName>data2</volumeName><volumePath>/mnt/data2</volumePath>"
          "<volumeType>2</volumeType></storeVolumelist><maxRecordNumber>400</maxRecordNumber>"
          "<recoverMethod>0</recoverMethod><reservedSpace>4096</reservedSpace>"
          "<reservedvolumeSpace>512</reservedvolumeSpace>",
          {.maxRecordNumber = 400, .recoverMethod = 0, .reservedSpace = 4096,
          .reservedvolumeSpace = 512},
          {List<CSetKVRCngParams>(SetKVRCngParamsFields::kVolumes,
          {{.volumeName = "data2", .volumePath = "/mnt/data2", .volumeType = 2}})}),
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
      Case<CRecordMediaAck>("<volumn>data1</volumn>", {.volumn = "data1"}),
      Case<CRecordMediaControl>(
          "<recordFileUrl>/pu-1/2/0506.dat</recordFileUrl><ctrlInfo>1</ctrlInfo>",
          {.recordFileUrl = "/pu-1/2/0506.dat", .ctrlInfo = 1}),
      Case<CDelRecordMedia>("<recordFileUrl>/pu-1/2/0505.dat</recordFileUrl>",
          {.recordFileUrl = "/pu-1/2/0505.dat"}),
      Case<CQueryRecordStatus>("<recordFileUrl>/pu-1/2/0504.dat</recordFileUrl>",
          {.recordFileUrl = "/pu-1/2/0504.dat"}),
      Case<CQueryRecordStatusAck>("<recordStatus><recordFileUrl>/pu-1/2/0504.dat</recordFileUrl>"
          "<beginTime>2024-5-4 7:0:0</beginTime><finalTime>2024-5-4 8:0:0</finalTime>"
          "<recordSize>512</recordSize><recordType>0</recordType><totalTime>3600</totalTime>"
          "<limitSize>1024</limitSize><limitTime>7200</limitTime><status>4</status>"
          "</recordStatus><morePacket>0</morePacket>",
          {.morePacket = 0},
          {List<CQueryRecordStatusAck>(QueryRecordStatusAckFields::kStates, {{"/pu-1/2/0504.dat",
          {2024, 5, 4, 7, 0, 0}, {2024, 5, 4, 8, 0, 0}, 512, 0, 3600, 1024, 7200, 4}})}),
      Case<CRecordEvent>("<recordFileUrl>/pu-1/2/0506.dat</recordFileUrl>"
          "<recordEvent>2</recordEvent>",
          {.recordFileUrl = "/pu-1/2/0506.dat", .recordEvent = 2}),
      Case<CRecordMediaSaveAs>("<recordFileUrl>/a.dat</recordFileUrl><ctrlInfo>1</ctrlInfo>"
          "<saveAsFileUrl1>/b.dat</saveAsFileUrl1><saveAsFileUrl2>/c.dat</saveAsFileUrl2>"
          "<recordFileFormat>2</recordFileFormat><beginTime>10</beginTime><endTime>20</endTime>",
          {.recordFileUrl = "/a.dat", .ctrlInfo = 1, .saveAsFileUrl1 = "/b.dat",
          .saveAsFileUrl2 = "/c.dat", .recordFileFormat = 2, .beginTime = 10, .endTime = 20}),

      // ---- audio, media sessions, PTZ
      Case<CAudioTalkStart>("<puIp>10.0.0.1</puIp><puPort>8000</puPort><puChannel>1</puChannel>"
          "<audioType>G711A</audioType>",
          {.puIp = "10.0.0.1", .puPort = 8000, .puChannel = 1, .audioType = "G711A"}),
      Case<CAudioTalkStop>("<puIp>10.0.0.1</puIp><puPort>8000</puPort><puChannel>1</puChannel>",
          {.puIp = "10.0.0.1", .puPort = 8000, .puChannel = 1}),
      Case<CCreateSession>("<srcSessionId>src-5f3a</srcSessionId>"
          "<destSessionId>dst-77b0</destSessionId><destIp>10.0.0.30</destIp>"
          "<destPort>6000</destPort><type>1</type>",
          {.srcSessionId = "src-5f3a", .destSessionId = "dst-77b0", .destIp = "10.0.0.30",
          .destPort = 6000, .type = 1}),
      Case<CCreateSessionAck>("<srcSessionId>src-5f3a</srcSessionId><srcPort>6002</srcPort>",
          {.srcSessionId = "src-5f3a", .srcPort = 6002}),
      Case<CCloseSession>("<sessionId>src-5f3a</sessionId><extInfo>0</extInfo>",
          {.sessionId = "src-5f3a", .extInfo = 0}),
      Case<CPtzControl>("<channelUrl>rtsp://10.0.0.1/ch1</channelUrl><command>21</command>"
          "<param>zoom=2&amp;speed=5</param><ptzStop>1</ptzStop>",
          {.channelUrl = "rtsp://10.0.0.1/ch1", .command = 21, .param = "zoom=2&speed=5",
          .ptzStop = 1}),

      // ---- plans
      Case<CPlanAdd>("<planId>3000000000</planId><type>2</type>",
          {.planId = 3000000000u, .type = 2}),
      Case<CPlanDel>("<planId>17</planId><type>1</type>", {.planId = 17, .type = 1}),
      Case<CPlanModify>("<planId>18</planId><type>-3</type>", {.planId = 18, .type = -3}),
      Case<CPlanExecute>("<planId>19</planId><type>4</type>", {.planId = 19, .type = 4}),
      Case<CPlanInfo>("<planId>20</planId><type>1</type><beginTime>08:00:00</beginTime>"
          "<endTime>18:00:00</endTime><weekday>1,2,3,4,5</weekday>"
          "<interDay>true</interDay><checkNumber>3</checkNumber>"
          "<beginPosTime>2024-05-06 08:00:00</beginPosTime>"
          "<endPosTime>2024-05-06 18:00:00</endPosTime><saveDays>30</saveDays>",
          {.planId = 20, .type = 1, .beginTime = "08:00:00", .endTime = "18:00:00",
          .weekday = "1,2,3,4,5", .interDay = 1, .checkNumber = 3,
          .beginPosTime = "2024-05-06 08:00:00", .endPosTime = "2024-05-06 18:00:00",
          .saveDays = 30}),
      Case<CPlanLog>("<planId>21</planId><status>1</status><result>0</result>"
          "<reportTime>2024-05-06 09:00:00</reportTime><planType>2</planType>",
          {.planId = 21, .status = 1, .result = 0, .reportTime = "2024-05-06 09:00:00",
          .planType = 2}),

      // ---- diagnosis
      Case<CPuDiagnosis>("<recordCheck><planId>21</planId><channelNumber>1</channelNumber>"
          "<channelName>gate</channelName></recordCheck>"
          "<netCheck><planId>21</planId><channelNumber>2</channelNumber>"
          "<channelName>yard</channelName></netCheck>"
          "<recordDaysCheck><planId>21</planId><channelNumber>3</channelNumber>"
          "<channelName>dock</channelName><recordDays>7</recordDays></recordDaysCheck>"
          "<voiceCheck><planId>21</planId><channelNumber>4</channelNumber>"
          "<channelName>hall</channelName><voiceActive>true</voiceActive></voiceCheck>"
          "<planId>21</planId>" PU_ID PU_IP "<puPort>37777</puPort><check>true</check>" PU_LOGIN
          "<puName>north gate</puName>",
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
      Case<CPuDiagnosisAck>("<recordCheck><planId>21</planId><failType>2</failType></recordCheck>"
          "<recordCheck><planId>22</planId><failType>0</failType></recordCheck>"
          "<puId>pu-0001</puId>",
          {.puId = "pu-0001"},
          {List<CPuDiagnosisAck>(CPuDiagnosisAck::kRecordFailures,
          {{.planId = 21, .failType = 2}, {.planId = 22, .failType = 0}})}),
      Case<CSmartDiagnosis>(
          "<checks><planId>21</planId><checkItem>blur</checkItem><scoreLimit>60</scoreLimit>"
          "<scoreLimitEx>80</scoreLimitEx></checks>"
          "<checks><planId>22</planId><checkItem>signal</checkItem><scoreLimit>50</scoreLimit>"
          "<scoreLimitEx>70</scoreLimitEx></checks>" PU_ID PU_IP "<puPort>37777</puPort>" PU_LOGIN
          "<channelNumber>2</channelNumber><channelName>yard</channelName>"
          "<puName>north gate</puName><beginPosTime>2024-05-06 08:00:00</beginPosTime>"
          "<endPosTime>2024-05-06 18:00:00</endPosTime>",
          {.puId = "pu-0001", .puIp = "192.168.1.64", .puPort = 37777, .manufacturer = "acme",
          .userName = "admin", .passWord = "pw-9", .channelNumber = 2, .channelName = "yard",
          .puName = "north gate", .beginPosTime = "2024-05-06 08:00:00",
          .endPosTime = "2024-05-06 18:00:00"},
          {List<CSmartDiagnosis>(CSmartDiagnosis::kChecks,
          {{21, "blur", 60, 80}, {22, "signal", 50, 70}})}),
      Case<CSmartDiagnosisAck>(PU_ID "<channelNumber>2</channelNumber>",
          {.puId = "pu-0001", .channelNumber = 2}),
      Case<CDiagnoseResult>("<recordLost><planRecBeginTime>2024-05-06 08:00:00</planRecBeginTime>"
          "<planRecEndTime>2024-05-06 09:00:00</planRecEndTime>"
          "<recLostBeginTime>2024-05-06 08:10:00</recLostBeginTime>"
          "<recLostEndTime>2024-05-06 08:20:00</recLostEndTime></recordLost>" PU_ID
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
      Case<CCapturePicture>(PU_ID PU_IP "<puPort>37777</puPort>" PU_LOGIN
          "<puName>north gate</puName><channelName>yard</channelName>"
          "<channelNumber>2</channelNumber>",
          {.puId = "pu-0001", .puIp = "192.168.1.64", .puPort = 37777, .manufacturer = "acme",
          .userName = "admin", .passWord = "pw-9", .puName = "north gate", .channelName = "yard",
          .channelNumber = 2}),
      Case<CCapturePictureAck>(PU_ID "<channelNumber>3</channelNumber>",
          {.puId = "pu-0001", .channelNumber = 3}),

      // ---- backup and record indexes
      Case<CBackupRecord>("<planId>23</planId>" PU_ID PU_IP "<puPort>37777</puPort>" PU_LOGIN
          "<puName>north gate</puName><channelNumber>2</channelNumber>"
          "<channelName>yard</channelName><saveDays>90</saveDays>",
          {.planId = 23, .puId = "pu-0001", .puIp = "192.168.1.64", .puPort = 37777,
          .manufacturer = "acme", .userName = "admin", .passWord = "pw-9", .puName = "north gate",
          .channelNumber = 2, .channelName = "yard", .saveDays = 90}),
      Case<CBackupRecordAck>(PU_ID, {.puId = "pu-0001"}),
      Case<CRecordIndex>("<planId>24</planId><type>1</type>" PU_ID
          "<puName>north gate</puName><channelName>yard</channelName>"
          "<channelNumber>2</channelNumber><score>88</score>"
          "<reportTime>2024-05-06 09:00:00</reportTime>"
          "<filePath>/backup/pu-0001/2/0506.dat</filePath>"
          "<beginTime>2024-05-06 08:00:00</beginTime>"
          "<endTime>2024-05-06 09:00:00</endTime><saveDays>90</saveDays>"
          "<rtspUrl>rtsp://10.0.0.5/backup/1</rtspUrl><playHandle>3</playHandle>",
          {.planId = 24, .type = 1, .puId = "pu-0001", .puName = "north gate",
          .channelName = "yard", .channelNumber = 2, .score = 88,
          .reportTime = "2024-05-06 09:00:00", .filePath = "/backup/pu-0001/2/0506.dat",
          .beginTime = "2024-05-06 08:00:00", .endTime = "2024-05-06 09:00:00", .saveDays = 90,
          .rtspUrl = "rtsp://10.0.0.5/backup/1", .playHandle = 3}),
      Case<CLastIndex>(PU_ID "<channelNumber>2</channelNumber>",
          {.puId = "pu-0001", .channelNumber = 2}),
      Case<CLastIndexAck>("<type>1</type>" PU_ID
          "<puName>north gate</puName><channelName>yard</channelName>"
          "<channelNumber>2</channelNumber><score>88</score>"
          "<filePath>/backup/pu-0001/2/0506.dat</filePath>"
          "<beginTime>2024-05-06 08:00:00</beginTime>"
          "<endTime>2024-05-06 09:00:00</endTime><saveDays>90</saveDays>",
          {.type = 1, .puId = "pu-0001", .puName = "north gate", .channelName = "yard",
          .channelNumber = 2, .score = 88, .filePath = "/backup/pu-0001/2/0506.dat",
          .beginTime = "2024-05-06 08:00:00", .endTime = "2024-05-06 09:00:00", .saveDays = 90}),

      // ---- server and channel administration
      Case<CRequestSpace>("<volumePath>/mnt/data1</volumePath><volumeName>data1</volumeName>",
          {.volumePath = "/mnt/data1", .volumeName = "data1"}),
      Case<CCloseServer>("<webServerClose>1</webServerClose>", {.webServerClose = 1}),
      Case<CCoverConfig>(
          "<coverConfigs><X0>10</X0><Y0>20</Y0><width>320</width><heigth>240</heigth>"
          "</coverConfigs><coverConfigs><X0>0</X0><Y0>0</Y0><width>64</width><heigth>48</heigth>"
          "</coverConfigs>" PU_ID "<puName>north gate</puName><channelName>yard</channelName>"
          "<channelNumber>2</channelNumber>",
          {.puId = "pu-0001", .puName = "north gate", .channelName = "yard", .channelNumber = 2},
          {List<CCoverConfig>(CCoverConfig::kCovers, {{10, 20, 320, 240}, {0, 0, 64, 48}})}),
      Case<CCoverConfigAck>(PU_ID "<puName>north gate</puName><channelName>yard</channelName>"
          "<channelNumber>5</channelNumber>",
          {.puId = "pu-0001", .puName = "north gate", .channelName = "yard", .channelNumber = 5}),
      Case<CChangeServerAddr>("<addrType>1</addrType><serverID>9</serverID>"
          "<newAddr>10.0.0.50:9000</newAddr><oldAddr>10.0.0.40:9000</oldAddr>",
          {.addrType = 1, .serverID = 9, .newAddr = "10.0.0.50:9000", .oldAddr = "10.0.0.40:9000"}),
  };
  AddEmpty<CKeepAliveAck, CMonitorStartAck, CMonitorStopAck, CRecordPlayAck, CPlayControlAck,
           CSetKVRCngParamsAck, CRecordMediaControlAck, CDelRecordMediaAck, CRecordEventAck,
           CRecordMediaSaveAsAck, CAudioTalkStartAck, CAudioTalkStopAck, CCloseSessionAck,
           CPtzControlAck, CPlanAddAck, CPlanDelAck, CPlanModifyAck, CPlanExecuteAck,
           CPlanInfoAck, CPlanLogAck, CDiagnoseResultAck, CRecordIndexAck, CRequestSpaceAck,
           CCloseServerAck, CChangeServerAddrAck>(&samples);
  return samples;
}
// clang-format on

#undef PU_ID
#undef PU_IP
#undef PU_LOGIN

TEST(PduRoundTripTest, EverySampleParsesIntoItsClassAndPrintsTheSameBody) {
  CDsParser::Instance()->SetMode(kPduModeHttp);
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.operation + (sample.request ? " request" : " response"));
    sample.run();
  }
}

TEST(PduRoundTripTest, TheSamplesCoverEveryCommandWithAFactoryRowBothWays) {
  std::set<std::pair<std::string, bool>> covered;
  for (const Sample& sample : Samples()) {
    EXPECT_TRUE(covered.emplace(sample.operation, sample.request).second)
        << "two samples of " << sample.operation;
  }
  int rows = 0;
  for (int id = 0; id < kCommandCount; ++id) {
    const PduFactoryRow& row = PduFactoryRowOf(id);
    if (row.request == nullptr && row.response == nullptr) continue;
    ++rows;
    EXPECT_TRUE(covered.count({CommandName(id), true})) << CommandName(id) << " request";
    EXPECT_TRUE(covered.count({CommandName(id), false})) << CommandName(id) << " response";
  }
  // Every command but "MediaData" and "MediaInfoQuery" has its units.
  EXPECT_EQ(rows, kCommandCount - 2);
  EXPECT_EQ(covered.size(), static_cast<size_t>(2 * rows));
}

}  // namespace
