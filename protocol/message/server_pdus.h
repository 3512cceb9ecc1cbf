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

// ---- "RequestSpace" (39)

class CRequestSpaceAck final : public TResponsePDU<CRequestSpaceAck, NoFields, kCmdRequestSpace> {
 public:
  using TResponsePDU::TResponsePDU;
};

struct RequestSpaceFields {
  char volumePath[256] = "";
  char volumeName[256] = "";
  static constexpr PduField kFields[] = {
      Field<&RequestSpaceFields::volumePath>("volumePath"),
      Field<&RequestSpaceFields::volumeName>("volumeName"),
  };
};

class CRequestSpace final
    : public TRequestPDU<CRequestSpace, RequestSpaceFields, kCmdRequestSpace, CRequestSpaceAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "RestartServer" (40)

class CCloseServerAck final : public TResponsePDU<CCloseServerAck, NoFields, kCmdRestartServer> {
 public:
  using TResponsePDU::TResponsePDU;
};

struct CloseServerFields {
  int32_t webServerClose = 0;
  static constexpr PduField kFields[] = {
      Field<&CloseServerFields::webServerClose>("webServerClose"),
  };
};

class CCloseServer final
    : public TRequestPDU<CCloseServer, CloseServerFields, kCmdRestartServer, CCloseServerAck> {
 public:
  using TRequestPDU::TRequestPDU;
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

class CCoverConfigAck final
    : public TResponsePDU<CCoverConfigAck, CoverChannelFields, kCmdChannelCoverConfig> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CCoverConfig final : public TRequestPDU<CCoverConfig, CoverChannelFields,
                                              kCmdChannelCoverConfig, CCoverConfigAck> {
 public:
  using TRequestPDU::TRequestPDU;
  static constexpr PduList<CoverConfigItem> kCovers{"coverConfigs", CoverConfigItem::kFields, 0};

  // Appends a rectangle to "coverConfigs". Returns 0.
  int AddCover(const CoverConfigItem& item) { return AddListItem(kCovers, item); }
  // The next rectangle (missing numbers read 0): 0, or 3 past the last one.
  int NextCover(CoverConfigItem* item, bool restart) {
    return NextListItem(kCovers, item, restart);
  }
};

// ---- "ChangeServerAddr" (42)

class CChangeServerAddrAck final
    : public TResponsePDU<CChangeServerAddrAck, NoFields, kCmdChangeServerAddr> {
 public:
  using TResponsePDU::TResponsePDU;
};

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

class CChangeServerAddr final : public TRequestPDU<CChangeServerAddr, ChangeServerAddrFields,
                                                   kCmdChangeServerAddr, CChangeServerAddrAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

#endif  // KVR_PROTOCOL_MESSAGE_SERVER_PDUS_H_
