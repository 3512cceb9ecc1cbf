// Unit classes from field declarations.
//
// A unit is its field block (pdu_fields.h) plus one of these bases:
//
//   class CKeepAliveAck final
//       : public kvr::pdu::TResponsePDU<CKeepAliveAck, kvr::pdu::NoFields,
//                                       kvr::pdu::kCmdKeepAlive> {
//    public:
//     using TResponsePDU::TResponsePDU;
//   };
//   class CKeepAlive final
//       : public kvr::pdu::TRequestPDU<CKeepAlive, kvr::pdu::KeepAliveFields,
//                                      kvr::pdu::kCmdKeepAlive, CKeepAliveAck> {
//    public:
//     using TRequestPDU::TRequestPDU;
//   };
//
// The unit classes keep the global names the protocol gives them; their field
// blocks and these bases are the folder's own and live in kvr::pdu.
//
// The base brings the two constructors (default fields without a document,
// and from a document, loading the declared fields), Encode (the declared
// fields in order), the static Create, and for requests CreateAck. The field
// block is a public base, so makers fill the fields directly
// (unit->keepAlivePeriod = 30). Declare the reply class before its request.
#ifndef KVR_PROTOCOL_MESSAGE_PDU_UNIT_H_
#define KVR_PROTOCOL_MESSAGE_PDU_UNIT_H_

#include <cstring>
#include <memory>

#include "protocol/message/pdu.h"

namespace kvr::pdu {

// The field block of a unit that carries no fields.
struct NoFields {
  static constexpr PduFields kFields{};
};

template <class Self, class Fields, int Command>
class TResponsePDU : public IResponsePDU, public Fields {
 public:
  static constexpr int kCommand = Command;

  TResponsePDU() = default;
  explicit TResponsePDU(std::unique_ptr<CzetaDoc> doc) : IResponsePDU(std::move(doc)) {
    LoadDeclaredFields(Fields::kFields, static_cast<Fields*>(this));
  }

  // A reply ready for sending: default fields and a response document whose
  // envelope carries `resultCode`. Count 0.
  static Self* Create(int resultCode) {
    auto* unit = new Self();
    auto doc = MakeMessageDoc(SvrFrame::kReplyMessage, Command);
    doc->serialize(resultCode);
    unit->SetDoc(std::move(doc));
    return unit;
  }

  void Encode() override {
    IResponsePDU::Encode();
    EncodeDeclaredFields(Fields::kFields, static_cast<const Fields*>(this));
  }
};

template <class Self, class Fields, int Command, class Ack>
class TRequestPDU : public IRequestPDU, public Fields {
 public:
  static constexpr int kCommand = Command;

  TRequestPDU() = default;
  explicit TRequestPDU(std::unique_ptr<CzetaDoc> doc) : IRequestPDU(std::move(doc)) {
    LoadDeclaredFields(Fields::kFields, static_cast<Fields*>(this));
  }

  // A request ready for sending: default fields and a request document whose
  // envelope carries result 0. Count 0.
  static Self* Create() {
    auto* unit = new Self();
    auto doc = MakeMessageDoc(SvrFrame::kRequestMessage, Command);
    doc->serialize(kResultSuccess);
    unit->SetDoc(std::move(doc));
    return unit;
  }

  IZETAPDU* CreateAck(int resultCode) override { return Ack::Create(resultCode); }

  void Encode() override {
    IRequestPDU::Encode();
    EncodeDeclaredFields(Fields::kFields, static_cast<const Fields*>(this));
  }
};

// How a module picks the units it handles: `unit` as the unit class T when it
// carries T's command name and is of that class, else null. A unit of another
// class under a known command name is not the module's to read.
template <class T>
T* UnitAs(SvrFrame::CInnerProtocolStack* unit) {
  if (unit == nullptr) return nullptr;
  const char* command = unit->GetCommandName();
  if (command == nullptr || std::strcmp(command, CommandName(T::kCommand)) != 0) return nullptr;
  return dynamic_cast<T*>(unit);
}

}  // namespace kvr::pdu
#endif  // KVR_PROTOCOL_MESSAGE_PDU_UNIT_H_
