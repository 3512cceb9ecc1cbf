// The platform units of devices and media: front-end units ("AddPu",
// "DelPu", "QueryPuInfo"), live monitoring ("MonitorStart", "MonitorStop"),
// connections ("ConnectInfo"), playback ("RecordPlay", "PlayControl",
// "RecordIndex"), audio talk ("AudioStart", "AudioStop"), media sessions
// ("CreateSession", "CloseSession"), PTZ ("PTZControl") and the media
// information query ("MediaInfoQuery", which is never made from a received
// message), each request with its reply.
//
// This service records and stores; it parses these so that a platform
// message is understood and answered or dropped deliberately, and prints
// them for whoever sends one. The fields are public and filled by the
// makers; lists are written member by member before ToBuffer and read back
// with the Next operations. See pdu_unit.h for how units are declared.
// Shared by reference count; used by one thread at a time.
#ifndef KVR_PROTOCOL_MESSAGE_DEVICE_PDUS_H_
#define KVR_PROTOCOL_MESSAGE_DEVICE_PDUS_H_

#include <cstdint>

#include "protocol/message/pdu_unit.h"

namespace kvr::pdu {

// The field blocks of the units; the unit classes follow the namespace, in
// the same order.

// The port and type a front-end unit has when the maker says nothing.
inline constexpr int32_t kDefaultPuPort = 37777;

inline constexpr int32_t kDefaultPuType = 3;

// ---- "AddPu" (2), "DelPu" (3)

// Which front-end unit: the "AddPu" reply and both "DelPu" units.
struct PuAddressFields {
  char puId[32] = "";
  char puIp[16] = "";
  int32_t puPort = kDefaultPuPort;
  int32_t puType = kDefaultPuType;
  static constexpr PduField kFields[] = {
      Field<&PuAddressFields::puId>("puId"),
      Field<&PuAddressFields::puIp>("puIp"),
      Field<&PuAddressFields::puPort>("puPort"),
      Field<&PuAddressFields::puType>("puType"),
  };
};

struct AddpuFields {
  char puId[32] = "";
  char puIp[16] = "";
  int32_t puPort = kDefaultPuPort;
  int32_t puType = kDefaultPuType;
  char puName[36] = "";
  char puPassword[64] = "";
  char manufacturer[32] = "";
  static constexpr PduField kFields[] = {
      Field<&AddpuFields::puId>("puId"),
      Field<&AddpuFields::puIp>("puIp"),
      Field<&AddpuFields::puPort>("puPort"),
      Field<&AddpuFields::puType>("puType"),
      Field<&AddpuFields::puName>("puName"),
      Field<&AddpuFields::puPassword>("puPassword"),
      Field<&AddpuFields::manufacturer>("manufacturer"),
  };
};

// ---- "QueryPuInfo" (4)

// One member of "puInfo".
struct PuInfoItem {
  char puId[32] = "";
  char puIp[16] = "";
  int32_t puPort = 0;
  int32_t puType = 0;
  int32_t puChannel = 0;
  int32_t puStatus = 0;
  int32_t clientSave = 0;
  static constexpr PduField kFields[] = {
      Field<&PuInfoItem::puId>("puId"),
      Field<&PuInfoItem::puIp>("puIp"),
      Field<&PuInfoItem::puPort>("puPort"),
      Field<&PuInfoItem::puType>("puType"),
      Field<&PuInfoItem::puChannel>("puChannel"),
      Field<&PuInfoItem::puStatus>("puStatus"),
      Field<&PuInfoItem::clientSave>("clientSave"),
  };
};

// The "morePacket" count of the replies that carry one list.
struct MorePacketFields {
  int32_t morePacket = 0;
  static constexpr PduField kFields[] = {
      Field<&MorePacketFields::morePacket>("morePacket"),
  };
};

struct QuerypuInfoFields {
  char puIp[16] = "";
  int32_t puPort = kDefaultPuPort;
  int32_t puType = kDefaultPuType;
  static constexpr PduField kFields[] = {
      Field<&QuerypuInfoFields::puIp>("puIp"),
      Field<&QuerypuInfoFields::puPort>("puPort"),
      Field<&QuerypuInfoFields::puType>("puType"),
  };
};

// ---- "MonitorStart" (5), "MonitorStop" (6)

struct MonitorStartFields {
  char puIp[16] = "";
  int32_t puPort = 0;
  int32_t puType = 0;
  int32_t puChannel = 0;
  int32_t SSRC = 0;
  char localIp[16] = "";
  int32_t localPort = 0;
  int32_t transType = 0;
  int32_t subStream = 0;
  int32_t multiChannel = 0;
  static constexpr PduField kFields[] = {
      Field<&MonitorStartFields::puIp>("puIp"),
      Field<&MonitorStartFields::puPort>("puPort"),
      Field<&MonitorStartFields::puType>("puType"),
      Field<&MonitorStartFields::puChannel>("puChannel"),
      Field<&MonitorStartFields::SSRC>("SSRC"),
      Field<&MonitorStartFields::localIp>("localIp"),
      Field<&MonitorStartFields::localPort>("localPort"),
      Field<&MonitorStartFields::transType>("transType"),
      Field<&MonitorStartFields::subStream>("subStream"),
      Field<&MonitorStartFields::multiChannel>("multiChannel"),
  };
};

struct MonitorStopFields {
  char puIp[16] = "";
  int32_t puPort = kDefaultPuPort;
  int32_t puType = kDefaultPuType;
  int32_t puChannel = 0;
  int32_t SSRC = 0;
  int32_t transType = 0;
  int32_t subStream = 0;
  int32_t multiChannel = 0;
  static constexpr PduField kFields[] = {
      Field<&MonitorStopFields::puIp>("puIp"),
      Field<&MonitorStopFields::puPort>("puPort"),
      Field<&MonitorStopFields::puType>("puType"),
      Field<&MonitorStopFields::puChannel>("puChannel"),
      Field<&MonitorStopFields::SSRC>("SSRC"),
      Field<&MonitorStopFields::transType>("transType"),
      Field<&MonitorStopFields::subStream>("subStream"),
      Field<&MonitorStopFields::multiChannel>("multiChannel"),
  };
};

// ---- "ConnectInfo" (8)

// One member of "connectInfo": a client connection and what it asks for.
struct ConnectInfoItem {
  char cuIp[16] = "";
  int32_t cuPort = 0;
  char requestInfo[256] = "";
  char objectInfo[256] = "";
  int32_t flux = 0;
  static constexpr PduField kFields[] = {
      Field<&ConnectInfoItem::cuIp>("cuIp"),
      Field<&ConnectInfoItem::cuPort>("cuPort"),
      Field<&ConnectInfoItem::requestInfo>("requestInfo"),
      Field<&ConnectInfoItem::objectInfo>("objectInfo"),
      Field<&ConnectInfoItem::flux>("flux"),
  };
};

struct ConnQueryFields {
  int32_t type = 3;
  static constexpr PduField kFields[] = {
      Field<&ConnQueryFields::type>("type"),
  };
};

// ---- "RecordPlay" (9), "PlayControl" (10)

struct RecordPlayFields {
  char puIp[16] = "";
  int32_t puPort = 0;
  int32_t puType = 0;
  int32_t puChannel = 0;
  int32_t mediaType = 0;
  char localIp[16] = "";
  int32_t localPort = 0;
  int32_t transType = 0;
  char recordFileUrl[256] = "";
  int32_t recordSource = 0;  // a number here, not a record source name
  static constexpr PduField kFields[] = {
      Field<&RecordPlayFields::puIp>("puIp"),
      Field<&RecordPlayFields::puPort>("puPort"),
      Field<&RecordPlayFields::puType>("puType"),
      Field<&RecordPlayFields::puChannel>("puChannel"),
      Field<&RecordPlayFields::mediaType>("mediaType"),
      Field<&RecordPlayFields::localIp>("localIp"),
      Field<&RecordPlayFields::localPort>("localPort"),
      Field<&RecordPlayFields::transType>("transType"),
      Field<&RecordPlayFields::recordFileUrl>("recordFileUrl"),
      Field<&RecordPlayFields::recordSource>("recordSource"),
  };
};

struct PlayControlFields {
  char recordFileUrl[256] = "";
  int32_t ctrlType = kDefaultPuPort;
  int32_t ctrlInfo = kDefaultPuType;
  static constexpr PduField kFields[] = {
      Field<&PlayControlFields::recordFileUrl>("recordFileUrl"),
      Field<&PlayControlFields::ctrlType>("ctrlType"),
      Field<&PlayControlFields::ctrlInfo>("ctrlInfo"),
  };
};

// ---- "RecordIndex" (11)

// One member of "recordIndexInfo": a record of a channel. The type and source
// travel as their names ("Alarm", "From center"); a name the service does
// not know reads -1.
struct RecordIndexItem {
  char puIp[16] = "";
  int32_t puPort = 0;
  int32_t puType = 0;
  int32_t puChannel = 0;
  TimeRecord startTime;
  TimeRecord endTime;
  int32_t recordLength = 0;
  int32_t recordType = 0;
  int32_t recordSource = 0;
  char recordFileUrl[256] = "";
  static constexpr PduField kFields[] = {
      Field<&RecordIndexItem::puIp>("puIp"),
      Field<&RecordIndexItem::puPort>("puPort"),
      Field<&RecordIndexItem::puType>("puType"),
      Field<&RecordIndexItem::puChannel>("puChannel"),
      Field<&RecordIndexItem::startTime>("startTime"),
      Field<&RecordIndexItem::endTime>("endTime"),
      Field<&RecordIndexItem::recordLength>("recordLength"),
      RecordType<&RecordIndexItem::recordType>("recordType"),
      RecordSource<&RecordIndexItem::recordSource>("recordSource"),
      Field<&RecordIndexItem::recordFileUrl>("recordFileUrl"),
  };
};

struct RecordIndexQueryFields {
  char puIp[16] = "";
  int32_t puPort = 0;
  int32_t puType = kDefaultPuType;
  int32_t puChannel = 0;
  TimeRecord startTime;
  TimeRecord endTime;
  int32_t recordType = -1;    // carried as its name
  int32_t recordSource = -1;  // carried as its name
  static constexpr PduField kFields[] = {
      Field<&RecordIndexQueryFields::puIp>("puIp"),
      Field<&RecordIndexQueryFields::puPort>("puPort"),
      Field<&RecordIndexQueryFields::puType>("puType"),
      Field<&RecordIndexQueryFields::puChannel>("puChannel"),
      Field<&RecordIndexQueryFields::startTime>("startTime"),
      Field<&RecordIndexQueryFields::endTime>("endTime"),
      RecordType<&RecordIndexQueryFields::recordType>("recordType"),
      RecordSource<&RecordIndexQueryFields::recordSource>("recordSource"),
  };
};

// ---- "AudioStart" (20), "AudioStop" (21)

struct AudioTalkStartFields {
  char puIp[32] = "";
  int32_t puPort = 0;
  int32_t puChannel = 0;
  char audioType[32] = "";
  static constexpr PduField kFields[] = {
      Field<&AudioTalkStartFields::puIp>("puIp"),
      Field<&AudioTalkStartFields::puPort>("puPort"),
      Field<&AudioTalkStartFields::puChannel>("puChannel"),
      Field<&AudioTalkStartFields::audioType>("audioType"),
  };
};

struct AudioTalkStopFields {
  char puIp[32] = "";
  int32_t puPort = 0;
  int32_t puChannel = 0;
  static constexpr PduField kFields[] = {
      Field<&AudioTalkStopFields::puIp>("puIp"),
      Field<&AudioTalkStopFields::puPort>("puPort"),
      Field<&AudioTalkStopFields::puChannel>("puChannel"),
  };
};

// ---- "CreateSession" (22), "CloseSession" (23)

struct CreateSessionAckFields {
  char srcSessionId[64] = "";
  int32_t srcPort = -1;
  static constexpr PduField kFields[] = {
      Field<&CreateSessionAckFields::srcSessionId>("srcSessionId"),
      Field<&CreateSessionAckFields::srcPort>("srcPort"),
  };
};

struct CreateSessionFields {
  char srcSessionId[64] = "";
  char destSessionId[64] = "";
  char destIp[32] = "";
  int32_t destPort = -1;
  int32_t type = -1;
  static constexpr PduField kFields[] = {
      Field<&CreateSessionFields::srcSessionId>("srcSessionId"),
      Field<&CreateSessionFields::destSessionId>("destSessionId"),
      Field<&CreateSessionFields::destIp>("destIp"),
      Field<&CreateSessionFields::destPort>("destPort"),
      Field<&CreateSessionFields::type>("type"),
  };
};

struct CloseSessionFields {
  char sessionId[64] = "";
  int32_t extInfo = -1;
  static constexpr PduField kFields[] = {
      Field<&CloseSessionFields::sessionId>("sessionId"),
      Field<&CloseSessionFields::extInfo>("extInfo"),
  };
};

// ---- "PTZControl" (24)

struct PtzControlFields {
  char channelUrl[256] = "";
  int32_t command = 0;
  char param[256] = "";
  int32_t ptzStop = 0;
  static constexpr PduField kFields[] = {
      Field<&PtzControlFields::channelUrl>("channelUrl"),
      Field<&PtzControlFields::command>("command"),
      Field<&PtzControlFields::param>("param"),
      Field<&PtzControlFields::ptzStop>("ptzStop"),
  };
};

// ---- "MediaInfoQuery" (25)

struct MediaInfoQueryFields {
  char channelUrl[255] = "";
  char clientMode[257] = "";
  int32_t bandWidth = 0;
  static constexpr PduField kFields[] = {
      Field<&MediaInfoQueryFields::channelUrl>("channelUrl"),
      Field<&MediaInfoQueryFields::clientMode>("clientMode"),
      Field<&MediaInfoQueryFields::bandWidth>("bandWidth"),
  };
};

}  // namespace kvr::pdu

// ---- "AddPu" (2), "DelPu" (3)

class CAddpuAck final
    : public kvr::pdu::TResponsePDU<CAddpuAck, kvr::pdu::PuAddressFields, kvr::pdu::kCmdAddPu> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CAddpu final
    : public kvr::pdu::TRequestPDU<CAddpu, kvr::pdu::AddpuFields, kvr::pdu::kCmdAddPu, CAddpuAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

class CDelpuAck final
    : public kvr::pdu::TResponsePDU<CDelpuAck, kvr::pdu::PuAddressFields, kvr::pdu::kCmdDelPu> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CDelpu final : public kvr::pdu::TRequestPDU<CDelpu, kvr::pdu::PuAddressFields,
                                                  kvr::pdu::kCmdDelPu, CDelpuAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "QueryPuInfo" (4)

class CQuerypuInfoAck final
    : public kvr::pdu::TResponsePDU<CQuerypuInfoAck, kvr::pdu::MorePacketFields,
                                    kvr::pdu::kCmdQueryPuInfo> {
 public:
  using TResponsePDU::TResponsePDU;
  static constexpr kvr::pdu::PduList<kvr::pdu::PuInfoItem> kPuInfo{
      "puInfo", kvr::pdu::PuInfoItem::kFields, 0};

  // Appends a unit to "puInfo". Returns 0.
  int AddPuInfo(const kvr::pdu::PuInfoItem& item) { return AddListItem(kPuInfo, item); }
  // The next unit: 0, or 3 when its puId is empty (the end of the list).
  int NextPuInfo(kvr::pdu::PuInfoItem* item, bool restart) {
    return NextListItem(kPuInfo, item, restart);
  }
};

class CQuerypuInfo final
    : public kvr::pdu::TRequestPDU<CQuerypuInfo, kvr::pdu::QuerypuInfoFields,
                                   kvr::pdu::kCmdQueryPuInfo, CQuerypuInfoAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "MonitorStart" (5), "MonitorStop" (6)

class CMonitorStartAck final : public kvr::pdu::TResponsePDU<CMonitorStartAck, kvr::pdu::NoFields,
                                                             kvr::pdu::kCmdMonitorStart> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CMonitorStart final
    : public kvr::pdu::TRequestPDU<CMonitorStart, kvr::pdu::MonitorStartFields,
                                   kvr::pdu::kCmdMonitorStart, CMonitorStartAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

class CMonitorStopAck final : public kvr::pdu::TResponsePDU<CMonitorStopAck, kvr::pdu::NoFields,
                                                            kvr::pdu::kCmdMonitorStop> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CMonitorStop final
    : public kvr::pdu::TRequestPDU<CMonitorStop, kvr::pdu::MonitorStopFields,
                                   kvr::pdu::kCmdMonitorStop, CMonitorStopAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "ConnectInfo" (8)

class CConnQueryAck final : public kvr::pdu::TResponsePDU<CConnQueryAck, kvr::pdu::MorePacketFields,
                                                          kvr::pdu::kCmdConnectInfo> {
 public:
  using TResponsePDU::TResponsePDU;
  static constexpr kvr::pdu::PduList<kvr::pdu::ConnectInfoItem> kConnections{
      "connectInfo", kvr::pdu::ConnectInfoItem::kFields, 0};

  // Appends a connection to "connectInfo". Returns 0.
  int AddConnectInfo(const kvr::pdu::ConnectInfoItem& item) {
    return AddListItem(kConnections, item);
  }
  // The next connection: 0, or 3 when its cuIp is empty (the end of the list).
  int NextConnectInfo(kvr::pdu::ConnectInfoItem* item, bool restart) {
    return NextListItem(kConnections, item, restart);
  }
};

class CConnQuery final : public kvr::pdu::TRequestPDU<CConnQuery, kvr::pdu::ConnQueryFields,
                                                      kvr::pdu::kCmdConnectInfo, CConnQueryAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "RecordPlay" (9), "PlayControl" (10)

class CRecordPlayAck final
    : public kvr::pdu::TResponsePDU<CRecordPlayAck, kvr::pdu::NoFields, kvr::pdu::kCmdRecordPlay> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CRecordPlay final : public kvr::pdu::TRequestPDU<CRecordPlay, kvr::pdu::RecordPlayFields,
                                                       kvr::pdu::kCmdRecordPlay, CRecordPlayAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

class CPlayControlAck final : public kvr::pdu::TResponsePDU<CPlayControlAck, kvr::pdu::NoFields,
                                                            kvr::pdu::kCmdPlayControl> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CPlayControl final
    : public kvr::pdu::TRequestPDU<CPlayControl, kvr::pdu::PlayControlFields,
                                   kvr::pdu::kCmdPlayControl, CPlayControlAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "RecordIndex" (11)

class CRecordIndexQueryAck final
    : public kvr::pdu::TResponsePDU<CRecordIndexQueryAck, kvr::pdu::MorePacketFields,
                                    kvr::pdu::kCmdRecordIndex> {
 public:
  using TResponsePDU::TResponsePDU;
  static constexpr kvr::pdu::PduList<kvr::pdu::RecordIndexItem> kRecords{
      "recordIndexInfo", kvr::pdu::RecordIndexItem::kFields, 0};

  // Appends a record to "recordIndexInfo". Returns 0.
  int AddRecordIndex(const kvr::pdu::RecordIndexItem& item) { return AddListItem(kRecords, item); }
  // The next record (a missing time leaves the item's as it was): 0, or 3
  // when its puIp is empty (the end of the list).
  int NextRecordIndex(kvr::pdu::RecordIndexItem* item, bool restart) {
    return NextListItem(kRecords, item, restart);
  }
};

class CRecordIndexQuery final
    : public kvr::pdu::TRequestPDU<CRecordIndexQuery, kvr::pdu::RecordIndexQueryFields,
                                   kvr::pdu::kCmdRecordIndex, CRecordIndexQueryAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "AudioStart" (20), "AudioStop" (21)

class CAudioTalkStartAck final
    : public kvr::pdu::TResponsePDU<CAudioTalkStartAck, kvr::pdu::NoFields,
                                    kvr::pdu::kCmdAudioStart> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CAudioTalkStart final
    : public kvr::pdu::TRequestPDU<CAudioTalkStart, kvr::pdu::AudioTalkStartFields,
                                   kvr::pdu::kCmdAudioStart, CAudioTalkStartAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

class CAudioTalkStopAck final : public kvr::pdu::TResponsePDU<CAudioTalkStopAck, kvr::pdu::NoFields,
                                                              kvr::pdu::kCmdAudioStop> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CAudioTalkStop final
    : public kvr::pdu::TRequestPDU<CAudioTalkStop, kvr::pdu::AudioTalkStopFields,
                                   kvr::pdu::kCmdAudioStop, CAudioTalkStopAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "CreateSession" (22), "CloseSession" (23)

class CCreateSessionAck final
    : public kvr::pdu::TResponsePDU<CCreateSessionAck, kvr::pdu::CreateSessionAckFields,
                                    kvr::pdu::kCmdCreateSession> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CCreateSession final
    : public kvr::pdu::TRequestPDU<CCreateSession, kvr::pdu::CreateSessionFields,
                                   kvr::pdu::kCmdCreateSession, CCreateSessionAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

class CCloseSessionAck final : public kvr::pdu::TResponsePDU<CCloseSessionAck, kvr::pdu::NoFields,
                                                             kvr::pdu::kCmdCloseSession> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CCloseSession final
    : public kvr::pdu::TRequestPDU<CCloseSession, kvr::pdu::CloseSessionFields,
                                   kvr::pdu::kCmdCloseSession, CCloseSessionAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "PTZControl" (24)

class CPtzControlAck final
    : public kvr::pdu::TResponsePDU<CPtzControlAck, kvr::pdu::NoFields, kvr::pdu::kCmdPTZControl> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CPtzControl final : public kvr::pdu::TRequestPDU<CPtzControl, kvr::pdu::PtzControlFields,
                                                       kvr::pdu::kCmdPTZControl, CPtzControlAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "MediaInfoQuery" (25): made only by a maker, never from a received
// message (the parser turns one into an invalid packet).

// The reply has no fixed fields: its numbers sit in lists that the asker
// names, read and written one member at a time.
class CMediaInfoQueryAck final
    : public kvr::pdu::TResponsePDU<CMediaInfoQueryAck, kvr::pdu::NoFields,
                                    kvr::pdu::kCmdMediaInfoQuery> {
 public:
  using TResponsePDU::TResponsePDU;

  // Reads member `key` of item `index` of list `list` into `*value`. Returns
  // 0; 3 when the member is not there (`*value` then reads 0); 5 for a null
  // argument, a negative index or a unit without document.
  int GetListNumber(const char* list, int index, const char* key, int32_t* value) const;
  // Appends member `key` = `value` to item `index` of `list`. A missing item
  // is added as the list's next element, so write the items in order; a key
  // written twice for one item gives two elements. -2 is the absent marker
  // and writes nothing. Returns 0, or 5 as GetListNumber.
  int SetListNumber(const char* list, int index, const char* key, int32_t value);
};

class CMediaInfoQuery final
    : public kvr::pdu::TRequestPDU<CMediaInfoQuery, kvr::pdu::MediaInfoQueryFields,
                                   kvr::pdu::kCmdMediaInfoQuery, CMediaInfoQueryAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

#endif  // KVR_PROTOCOL_MESSAGE_DEVICE_PDUS_H_
