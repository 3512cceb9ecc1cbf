// The storage units: storage configuration ("StoreConfigGet",
// "StoreConfigSet"), recordings ("RecRealMedia", "RecRealMediaControl",
// "DeleteRecRealMedia", "QueryRealMediaRecStatus", "RecRealMediaSaveAs") and
// the record event ("RecordEvent"), each request with its reply.
//
// Made by the parser from received messages, by the exports and by the
// modules that report record events; the fields are public and filled by
// the makers. Lists (volumes, record states) are written member by member
// with the Add operations before ToBuffer, and read back with the Next
// operations. See pdu_unit.h for how units are declared. Shared by
// reference count; used by one thread at a time.
#ifndef KVR_PROTOCOL_MESSAGE_STORE_PDUS_H_
#define KVR_PROTOCOL_MESSAGE_STORE_PDUS_H_

#include <cstdint>

#include "protocol/message/pdu_unit.h"

namespace kvr::pdu {

// The field blocks of the units; the unit classes follow the namespace, in
// the same order.

// One member of "storeVolumelist". The configuration request carries the
// first three fields, the configuration reply all five.
struct StoreVolumeItem {
  char volumeName[260] = "";
  char volumePath[260] = "";
  int32_t volumeType = 0;
  uint32_t volumeRest = 0;  // free space in megabytes
  uint32_t useCount = 0;
  static constexpr PduField kConfigFields[] = {
      Field<&StoreVolumeItem::volumeName>("volumeName"),
      Field<&StoreVolumeItem::volumePath>("volumePath"),
      Field<&StoreVolumeItem::volumeType>("volumeType"),
  };
  static constexpr PduField kStateFields[] = {
      Field<&StoreVolumeItem::volumeName>("volumeName"),
      Field<&StoreVolumeItem::volumePath>("volumePath"),
      Field<&StoreVolumeItem::volumeType>("volumeType"),
      Field<&StoreVolumeItem::volumeRest>("volumeRest"),
      Field<&StoreVolumeItem::useCount>("useCount"),
  };
};

// The status of one record: one member of "recordStatus", and the layout the
// exports hand to the host.
struct RecordStatusEntry {
  char recordFileUrl[256] = "";
  TimeRecord beginTime;
  TimeRecord finalTime;
  int32_t recordSize = 0;  // megabytes written
  int32_t recordType = 0;
  int32_t totalTime = 0;
  int32_t limitSize = 0;  // megabytes
  int32_t limitTime = 0;  // seconds
  int32_t status = 0;     // record state
  // Added after the first clients: messages of the record that a full queue
  // refused. Optional on the wire, so an entry without it reads 0, and a
  // client that does not know the element passes over it.
  uint32_t refusedMessages = 0;
  static constexpr PduField kFields[] = {
      Field<&RecordStatusEntry::recordFileUrl>("recordFileUrl"),
      Field<&RecordStatusEntry::beginTime>("beginTime"),
      Field<&RecordStatusEntry::finalTime>("finalTime"),
      Field<&RecordStatusEntry::recordSize>("recordSize"),
      Field<&RecordStatusEntry::recordType>("recordType"),
      Field<&RecordStatusEntry::totalTime>("totalTime"),
      Field<&RecordStatusEntry::limitSize>("limitSize"),
      Field<&RecordStatusEntry::limitTime>("limitTime"),
      Field<&RecordStatusEntry::status>("status"),
      Field<&RecordStatusEntry::refusedMessages>("refusedMessages"),
  };
};

static_assert(sizeof(RecordStatusEntry) == 256 + 8 + 8 + 7 * 4);

// ---- "StoreConfigGet" (12)

struct GetKVRCngParamsAckFields {
  int32_t cngType = 0;
  int32_t maxRecordNumber = -1;
  int32_t recoverMethod = -1;
  int32_t reservedSpace = -1;        // megabytes
  int32_t reservedvolumeSpace = -1;  // megabytes
  static constexpr PduField kFields[] = {
      Field<&GetKVRCngParamsAckFields::cngType>("cngType"),
      Field<&GetKVRCngParamsAckFields::maxRecordNumber>("maxRecordNumber"),
      Field<&GetKVRCngParamsAckFields::recoverMethod>("recoverMethod"),
      Field<&GetKVRCngParamsAckFields::reservedSpace>("reservedSpace"),
      Field<&GetKVRCngParamsAckFields::reservedvolumeSpace>("reservedvolumeSpace"),
  };
  static constexpr PduList<StoreVolumeItem> kVolumes{"storeVolumelist",
                                                     StoreVolumeItem::kStateFields, 0};
};

struct GetKVRCngParamsFields {
  int32_t cngType = 0;
  static constexpr PduField kFields[] = {
      Field<&GetKVRCngParamsFields::cngType>("cngType"),
  };
};

// ---- "StoreConfigSet" (13)

struct SetKVRCngParamsFields {
  int32_t maxRecordNumber = -1;
  int32_t recoverMethod = -1;
  int32_t reservedSpace = -1;        // megabytes
  int32_t reservedvolumeSpace = -1;  // megabytes
  static constexpr PduField kFields[] = {
      Field<&SetKVRCngParamsFields::maxRecordNumber>("maxRecordNumber"),
      Field<&SetKVRCngParamsFields::recoverMethod>("recoverMethod"),
      Field<&SetKVRCngParamsFields::reservedSpace>("reservedSpace"),
      Field<&SetKVRCngParamsFields::reservedvolumeSpace>("reservedvolumeSpace"),
  };
  static constexpr PduList<StoreVolumeItem> kVolumes{"storeVolumelist",
                                                     StoreVolumeItem::kConfigFields, 0};
};

// ---- "RecRealMedia" (14)

struct RecordMediaAckFields {
  char volumn[32] = "";  // the volume chosen for the record
  // Not carried in the message: the record a media source reports on.
  char recordFileUrl[256] = "";
  static constexpr PduField kFields[] = {
      Field<&RecordMediaAckFields::volumn>("volumn"),
  };
};

struct RecordMediaFields {
  char vsDestIp[16] = "";
  int32_t vsDestPort = 0;
  char puIp[16] = "";
  int32_t puPort = 0;
  int32_t puChannel = 0;
  int32_t puType = 0;  // the source type: read as "puType", written as "mediaType"
  int32_t recordType = 0;
  char writeFileUrl[256] = "";
  char readFileUrl[256] = "";
  char volumn[32] = "";
  int32_t limitSize = 0;
  int32_t limitTime = 0;
  static constexpr PduField kFields[] = {
      Field<&RecordMediaFields::vsDestIp>("vsDestIp"),
      Field<&RecordMediaFields::vsDestPort>("vsDestPort"),
      Field<&RecordMediaFields::puIp>("puIp"),
      Field<&RecordMediaFields::puPort>("puPort"),
      Field<&RecordMediaFields::puChannel>("puChannel"),
      Field<&RecordMediaFields::puType>("puType").EncodeAs("mediaType"),
      Field<&RecordMediaFields::recordType>("recordType"),
      Field<&RecordMediaFields::writeFileUrl>("writeFileUrl"),
      Field<&RecordMediaFields::readFileUrl>("readFileUrl"),
      Field<&RecordMediaFields::volumn>("volumn"),
      Field<&RecordMediaFields::limitSize>("limitSize"),
      Field<&RecordMediaFields::limitTime>("limitTime"),
  };
};

// ---- "RecRealMediaControl" (15)

struct RecordMediaControlAckFields {
  // Not carried in the message: the record the reply is about.
  char recordFileUrl[256] = "";
  static constexpr PduFields kFields{};
};

struct RecordMediaControlFields {
  char recordFileUrl[256] = "";
  int32_t ctrlInfo = 0;  // 1 pause, 2 resume, 3 stop
  static constexpr PduField kFields[] = {
      Field<&RecordMediaControlFields::recordFileUrl>("recordFileUrl"),
      Field<&RecordMediaControlFields::ctrlInfo>("ctrlInfo"),
  };
};

// ---- "DeleteRecRealMedia" (16)

struct RecordFileUrlFields {
  char recordFileUrl[256] = "";
  static constexpr PduField kFields[] = {
      Field<&RecordFileUrlFields::recordFileUrl>("recordFileUrl"),
  };
};

// ---- "QueryRealMediaRecStatus" (17)

struct QueryRecordStatusAckFields {
  int32_t morePacket = 0;
  static constexpr PduField kFields[] = {
      Field<&QueryRecordStatusAckFields::morePacket>("morePacket"),
  };
  // Missing numbers of a member read -1, missing times leave the entry's.
  static constexpr PduList<RecordStatusEntry> kStates{"recordStatus", RecordStatusEntry::kFields, 0,
                                                      -1};
};

// ---- "RecordEvent" (18)

struct RecordEventFields {
  char recordFileUrl[256] = "";
  int32_t recordEvent = 0;  // 1 disk full, 2 time limit, 3 size limit, 4 write error, 5 stream lost
  static constexpr PduField kFields[] = {
      Field<&RecordEventFields::recordFileUrl>("recordFileUrl"),
      Field<&RecordEventFields::recordEvent>("recordEvent"),
  };
};

// ---- "RecRealMediaSaveAs" (19)

struct RecordMediaSaveAsAckFields {
  // Not carried in the message.
  char recordFileUrl[256] = "";
  char saveAsFileUrl1[256] = "";
  char saveAsFileUrl2[256] = "";
  static constexpr PduFields kFields{};
};

struct RecordMediaSaveAsFields {
  char recordFileUrl[256] = "";
  int32_t ctrlInfo = 0;
  char saveAsFileUrl1[256] = "";
  char saveAsFileUrl2[256] = "";
  int32_t recordFileFormat = 0;
  int32_t beginTime = 0;
  int32_t endTime = 0;
  static constexpr PduField kFields[] = {
      Field<&RecordMediaSaveAsFields::recordFileUrl>("recordFileUrl"),
      Field<&RecordMediaSaveAsFields::ctrlInfo>("ctrlInfo"),
      Field<&RecordMediaSaveAsFields::saveAsFileUrl1>("saveAsFileUrl1"),
      Field<&RecordMediaSaveAsFields::saveAsFileUrl2>("saveAsFileUrl2"),
      Field<&RecordMediaSaveAsFields::recordFileFormat>("recordFileFormat"),
      Field<&RecordMediaSaveAsFields::beginTime>("beginTime"),
      Field<&RecordMediaSaveAsFields::endTime>("endTime"),
  };
};

}  // namespace kvr::pdu

// ---- "StoreConfigGet" (12)

class CGetKVRCngParamsAck final
    : public kvr::pdu::TResponsePDU<CGetKVRCngParamsAck, kvr::pdu::GetKVRCngParamsAckFields,
                                    kvr::pdu::kCmdStoreConfigGet> {
 public:
  using TResponsePDU::TResponsePDU;

  // Appends a volume to "storeVolumelist". Returns 0.
  int AddVolume(const char* name, const char* path, int32_t type, uint32_t rest, uint32_t useCount);
  int AddVolume(const kvr::pdu::StoreVolumeItem& volume) { return AddListItem(kVolumes, volume); }
  // The next volume (missing numbers read 0, missing texts ""): 0, or 3 when
  // its name is empty (the end of the list).
  int NextVolume(kvr::pdu::StoreVolumeItem* volume, bool restart) {
    return NextListItem(kVolumes, volume, restart);
  }
};

class CGetKVRCngParams final
    : public kvr::pdu::TRequestPDU<CGetKVRCngParams, kvr::pdu::GetKVRCngParamsFields,
                                   kvr::pdu::kCmdStoreConfigGet, CGetKVRCngParamsAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "StoreConfigSet" (13)

class CSetKVRCngParamsAck final
    : public kvr::pdu::TResponsePDU<CSetKVRCngParamsAck, kvr::pdu::NoFields,
                                    kvr::pdu::kCmdStoreConfigSet> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CSetKVRCngParams final
    : public kvr::pdu::TRequestPDU<CSetKVRCngParams, kvr::pdu::SetKVRCngParamsFields,
                                   kvr::pdu::kCmdStoreConfigSet, CSetKVRCngParamsAck> {
 public:
  using TRequestPDU::TRequestPDU;

  // Appends a volume (name, path, type) to "storeVolumelist". Returns 0.
  int AddVolume(const char* name, const char* path, int32_t type);
  int AddVolume(const kvr::pdu::StoreVolumeItem& volume) { return AddListItem(kVolumes, volume); }
  // The next volume's name, path and type (the other two fields are left as
  // they are): 0, or 3 when its name is empty.
  int NextVolume(kvr::pdu::StoreVolumeItem* volume, bool restart) {
    return NextListItem(kVolumes, volume, restart);
  }
};

// ---- "RecRealMedia" (14)

class CRecordMediaAck final
    : public kvr::pdu::TResponsePDU<CRecordMediaAck, kvr::pdu::RecordMediaAckFields,
                                    kvr::pdu::kCmdRecRealMedia> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CRecordMedia final
    : public kvr::pdu::TRequestPDU<CRecordMedia, kvr::pdu::RecordMediaFields,
                                   kvr::pdu::kCmdRecRealMedia, CRecordMediaAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "RecRealMediaControl" (15)

class CRecordMediaControlAck final
    : public kvr::pdu::TResponsePDU<CRecordMediaControlAck, kvr::pdu::RecordMediaControlAckFields,
                                    kvr::pdu::kCmdRecRealMediaControl> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CRecordMediaControl final
    : public kvr::pdu::TRequestPDU<CRecordMediaControl, kvr::pdu::RecordMediaControlFields,
                                   kvr::pdu::kCmdRecRealMediaControl, CRecordMediaControlAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "DeleteRecRealMedia" (16)

class CDelRecordMediaAck final
    : public kvr::pdu::TResponsePDU<CDelRecordMediaAck, kvr::pdu::NoFields,
                                    kvr::pdu::kCmdDeleteRecRealMedia> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CDelRecordMedia final
    : public kvr::pdu::TRequestPDU<CDelRecordMedia, kvr::pdu::RecordFileUrlFields,
                                   kvr::pdu::kCmdDeleteRecRealMedia, CDelRecordMediaAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "QueryRealMediaRecStatus" (17)

class CQueryRecordStatusAck final
    : public kvr::pdu::TResponsePDU<CQueryRecordStatusAck, kvr::pdu::QueryRecordStatusAckFields,
                                    kvr::pdu::kCmdQueryRealMediaRecStatus> {
 public:
  using TResponsePDU::TResponsePDU;

  // Appends an entry to "recordStatus". Returns 0.
  int AddStatus(const kvr::pdu::RecordStatusEntry& entry) { return AddListItem(kStates, entry); }
  // The next entry: 0, or 3 when its URL is empty (the end of the list).
  int NextStatus(kvr::pdu::RecordStatusEntry* entry, bool restart) {
    return NextListItem(kStates, entry, restart);
  }
};

class CQueryRecordStatus final
    : public kvr::pdu::TRequestPDU<CQueryRecordStatus, kvr::pdu::RecordFileUrlFields,
                                   kvr::pdu::kCmdQueryRealMediaRecStatus, CQueryRecordStatusAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "RecordEvent" (18)

class CRecordEventAck final : public kvr::pdu::TResponsePDU<CRecordEventAck, kvr::pdu::NoFields,
                                                            kvr::pdu::kCmdRecordEvent> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CRecordEvent final
    : public kvr::pdu::TRequestPDU<CRecordEvent, kvr::pdu::RecordEventFields,
                                   kvr::pdu::kCmdRecordEvent, CRecordEventAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "RecRealMediaSaveAs" (19)

class CRecordMediaSaveAsAck final
    : public kvr::pdu::TResponsePDU<CRecordMediaSaveAsAck, kvr::pdu::RecordMediaSaveAsAckFields,
                                    kvr::pdu::kCmdRecRealMediaSaveAs> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CRecordMediaSaveAs final
    : public kvr::pdu::TRequestPDU<CRecordMediaSaveAs, kvr::pdu::RecordMediaSaveAsFields,
                                   kvr::pdu::kCmdRecRealMediaSaveAs, CRecordMediaSaveAsAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

#endif  // KVR_PROTOCOL_MESSAGE_STORE_PDUS_H_
