// The session units: "Register" and "KeepAlive" with their replies, and the
// invalid packet units the parser makes for messages it has no unit for.
// See pdu_unit.h for how a unit is declared; all are used by one thread at
// a time and shared by reference count.
#ifndef KVR_PROTOCOL_MESSAGE_SESSION_PDUS_H_
#define KVR_PROTOCOL_MESSAGE_SESSION_PDUS_H_

#include <cstdint>

#include "protocol/message/pdu_unit.h"

namespace kvr::pdu {

// The field blocks of the units; the unit classes follow the namespace, in
// the same order.

struct RegisterAckFields {
  int32_t expires = 0;
  int32_t enableLongConnection = 0;
  static constexpr PduField kFields[] = {
      Field<&RegisterAckFields::expires>("expires"),
      Field<&RegisterAckFields::enableLongConnection>("enableLongConnection"),
  };
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

}  // namespace kvr::pdu

class CRegisterAck final : public kvr::pdu::TResponsePDU<CRegisterAck, kvr::pdu::RegisterAckFields,
                                                         kvr::pdu::kCmdRegister> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CRegister final : public kvr::pdu::TRequestPDU<CRegister, kvr::pdu::RegisterFields,
                                                     kvr::pdu::kCmdRegister, CRegisterAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

class CKeepAliveAck final
    : public kvr::pdu::TResponsePDU<CKeepAliveAck, kvr::pdu::NoFields, kvr::pdu::kCmdKeepAlive> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CKeepAlive final : public kvr::pdu::TRequestPDU<CKeepAlive, kvr::pdu::KeepAliveFields,
                                                      kvr::pdu::kCmdKeepAlive, CKeepAliveAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// A reply the parser could not type: unreadable envelope, junk, an unknown
// operation, or an operation without units of this kind. Its command id is
// whatever the document held; Create makes one named "Invalid_CmdId".
class CInvalidPacketAck final
    : public kvr::pdu::TResponsePDU<CInvalidPacketAck, kvr::pdu::NoFields, kvr::pdu::kCmdInvalid> {
 public:
  using TResponsePDU::TResponsePDU;
};

// The request counterpart; its CreateAck answers with an "Invalid_CmdId" reply.
class CInvalidPacket final
    : public kvr::pdu::TRequestPDU<CInvalidPacket, kvr::pdu::NoFields, kvr::pdu::kCmdInvalid,
                                   CInvalidPacketAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

#endif  // KVR_PROTOCOL_MESSAGE_SESSION_PDUS_H_
