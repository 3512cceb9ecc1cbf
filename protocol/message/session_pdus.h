// The session units: "Register" and "KeepAlive" with their replies, and the
// invalid packet units the parser makes for messages it has no unit for.
// See pdu_unit.h for how a unit is declared; all are used by one thread at
// a time and shared by reference count.
#ifndef KVR_PROTOCOL_MESSAGE_SESSION_PDUS_H_
#define KVR_PROTOCOL_MESSAGE_SESSION_PDUS_H_

#include <cstdint>

#include "protocol/message/pdu_unit.h"

struct RegisterAckFields {
  int32_t expires = 0;
  int32_t enableLongConnection = 0;
  static constexpr PduField kFields[] = {
      Field<&RegisterAckFields::expires>("expires"),
      Field<&RegisterAckFields::enableLongConnection>("enableLongConnection"),
  };
};

class CRegisterAck final : public TResponsePDU<CRegisterAck, RegisterAckFields, kCmdRegister> {
 public:
  using TResponsePDU::TResponsePDU;
};

struct RegisterFields {
  char cuId[36] = "";
  char cuIp[16] = "";
  char cuName[132] = "";
  char cuPassword[132] = "";
  int32_t cuType = 1;
  static constexpr PduField kFields[] = {
      Field<&RegisterFields::cuId>("cuId"),     Field<&RegisterFields::cuIp>("cuIp"),
      Field<&RegisterFields::cuName>("cuName"), Field<&RegisterFields::cuPassword>("cuPassword"),
      Field<&RegisterFields::cuType>("cuType"),
  };
};

class CRegister final : public TRequestPDU<CRegister, RegisterFields, kCmdRegister, CRegisterAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

class CKeepAliveAck final : public TResponsePDU<CKeepAliveAck, NoFields, kCmdKeepAlive> {
 public:
  using TResponsePDU::TResponsePDU;
};

struct KeepAliveFields {
  char cuId[36] = "";
  char cuName[36] = "";
  int32_t keepAlivePeriod = 0;
  static constexpr PduField kFields[] = {
      Field<&KeepAliveFields::cuId>("cuId"),
      Field<&KeepAliveFields::cuName>("cuName"),
      Field<&KeepAliveFields::keepAlivePeriod>("keepAlivePeriod"),
  };
};

class CKeepAlive final
    : public TRequestPDU<CKeepAlive, KeepAliveFields, kCmdKeepAlive, CKeepAliveAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// A reply the parser could not type: unreadable envelope, junk, an unknown
// operation, or an operation without units of this kind. Its command id is
// whatever the document held; Create makes one named "Invalid_CmdId".
class CInvalidPacketAck final : public TResponsePDU<CInvalidPacketAck, NoFields, kCmdInvalid> {
 public:
  using TResponsePDU::TResponsePDU;
};

// The request counterpart; its CreateAck answers with an "Invalid_CmdId" reply.
class CInvalidPacket final
    : public TRequestPDU<CInvalidPacket, NoFields, kCmdInvalid, CInvalidPacketAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

#endif  // KVR_PROTOCOL_MESSAGE_SESSION_PDUS_H_
