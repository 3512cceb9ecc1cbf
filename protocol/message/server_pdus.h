// The platform units that administer servers and channels: space requests
// ("RequestSpace"), restarts ("RestartServer"), privacy covers of a channel
// ("ChannelCoverConfig") and address changes ("ChangeServerAddr"), each
// request with its reply.
//
// Parsed and printed so that every platform message has its typed form; the
// fields are public and filled by the makers. See pdu_unit.h for how units
// are declared. Shared by reference count; used by one thread at a time.
#ifndef KVR_PROTOCOL_MESSAGE_SERVER_PDUS_H_
#define KVR_PROTOCOL_MESSAGE_SERVER_PDUS_H_

#include <cstdint>

#include "protocol/message/pdu_unit.h"

namespace kvr::pdu {

// The field blocks of the units; the unit classes follow the namespace, in
// the same order.

// ---- "RequestSpace" (39)

struct RequestSpaceFields {
  char volumePath[256] = "";
  char volumeName[256] = "";
  static constexpr PduField kFields[] = {
      Field<&RequestSpaceFields::volumePath>("volumePath"),
      Field<&RequestSpaceFields::volumeName>("volumeName"),
  };
};

// ---- "RestartServer" (40)

struct CloseServerFields {
  int32_t webServerClose = 0;
  static constexpr PduField kFields[] = {
      Field<&CloseServerFields::webServerClose>("webServerClose"),
  };
};

// ---- "ChannelCoverConfig" (41)

// The channel whose covers are set: the request and its reply.
struct CoverChannelFields {
  char puId[36] = "";
  char puName[36] = "";
  char channelName[36] = "";
  int32_t channelNumber = 0;
  static constexpr PduField kFields[] = {
      Field<&CoverChannelFields::puId>("puId"),
      Field<&CoverChannelFields::puName>("puName"),
      Field<&CoverChannelFields::channelName>("channelName"),
      Field<&CoverChannelFields::channelNumber>("channelNumber"),
  };
};

// One member of "coverConfigs": a covered rectangle of the picture. The list
// ends at a member without X0.
struct CoverConfigItem {
  int32_t X0 = 0;
  int32_t Y0 = 0;
  int32_t width = 0;
  int32_t heigth = 0;
  static constexpr PduField kFields[] = {
      Field<&CoverConfigItem::X0>("X0"),
      Field<&CoverConfigItem::Y0>("Y0"),
      Field<&CoverConfigItem::width>("width"),
      Field<&CoverConfigItem::heigth>("heigth"),
  };
};

// ---- "ChangeServerAddr" (42)

struct ChangeServerAddrFields {
  int32_t addrType = 0;
  int32_t serverID = 0;
  char newAddr[128] = "";
  char oldAddr[128] = "";
  static constexpr PduField kFields[] = {
      Field<&ChangeServerAddrFields::addrType>("addrType"),
      Field<&ChangeServerAddrFields::serverID>("serverID"),
      Field<&ChangeServerAddrFields::newAddr>("newAddr"),
      Field<&ChangeServerAddrFields::oldAddr>("oldAddr"),
  };
};

}  // namespace kvr::pdu

// ---- "RequestSpace" (39)

class CRequestSpaceAck final : public kvr::pdu::TResponsePDU<CRequestSpaceAck, kvr::pdu::NoFields,
                                                             kvr::pdu::kCmdRequestSpace> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CRequestSpace final
    : public kvr::pdu::TRequestPDU<CRequestSpace, kvr::pdu::RequestSpaceFields,
                                   kvr::pdu::kCmdRequestSpace, CRequestSpaceAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "RestartServer" (40)

class CCloseServerAck final : public kvr::pdu::TResponsePDU<CCloseServerAck, kvr::pdu::NoFields,
                                                            kvr::pdu::kCmdRestartServer> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CCloseServer final
    : public kvr::pdu::TRequestPDU<CCloseServer, kvr::pdu::CloseServerFields,
                                   kvr::pdu::kCmdRestartServer, CCloseServerAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "ChannelCoverConfig" (41)

class CCoverConfigAck final
    : public kvr::pdu::TResponsePDU<CCoverConfigAck, kvr::pdu::CoverChannelFields,
                                    kvr::pdu::kCmdChannelCoverConfig> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CCoverConfig final
    : public kvr::pdu::TRequestPDU<CCoverConfig, kvr::pdu::CoverChannelFields,
                                   kvr::pdu::kCmdChannelCoverConfig, CCoverConfigAck> {
 public:
  using TRequestPDU::TRequestPDU;
  static constexpr kvr::pdu::PduList<kvr::pdu::CoverConfigItem> kCovers{
      "coverConfigs", kvr::pdu::CoverConfigItem::kFields, 0};

  // Appends a rectangle to "coverConfigs". Returns 0.
  int AddCover(const kvr::pdu::CoverConfigItem& item) { return AddListItem(kCovers, item); }
  // The next rectangle (missing numbers read 0): 0, or 3 past the last one.
  int NextCover(kvr::pdu::CoverConfigItem* item, bool restart) {
    return NextListItem(kCovers, item, restart);
  }
};

// ---- "ChangeServerAddr" (42)

class CChangeServerAddrAck final
    : public kvr::pdu::TResponsePDU<CChangeServerAddrAck, kvr::pdu::NoFields,
                                    kvr::pdu::kCmdChangeServerAddr> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CChangeServerAddr final
    : public kvr::pdu::TRequestPDU<CChangeServerAddr, kvr::pdu::ChangeServerAddrFields,
                                   kvr::pdu::kCmdChangeServerAddr, CChangeServerAddrAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

#endif  // KVR_PROTOCOL_MESSAGE_SERVER_PDUS_H_
