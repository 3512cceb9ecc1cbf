// The factory: which unit class a received document becomes.
//
// One row per command id with the request class and the reply class; the
// message kind of the document's carrier picks the column (a document
// without a carrier counts as a reply). Ids without a row, and rows not
// filled, give the invalid packet units. The table is constant; any thread
// may use it.
#ifndef KVR_PROTOCOL_MESSAGE_PDU_FACTORY_H_
#define KVR_PROTOCOL_MESSAGE_PDU_FACTORY_H_

#include <memory>

#include "protocol/message/pdu.h"

namespace kvr::pdu {

using PduMaker = IZETAPDU* (*)(std::unique_ptr<CzetaDoc> doc);

template <class Unit>
IZETAPDU* MakePduFromDoc(std::unique_ptr<CzetaDoc> doc) {
  return new Unit(std::move(doc));
}

struct PduFactoryRow {
  PduMaker request = nullptr;
  PduMaker response = nullptr;
};

template <class Request, class Response>
constexpr PduFactoryRow PduRow() {
  return PduFactoryRow{&MakePduFromDoc<Request>, &MakePduFromDoc<Response>};
}

// The row of command `id`; an empty row for ids without one.
const PduFactoryRow& PduFactoryRowOf(int id);

// Makes the unit for `doc`, which loads its fields from it; the unit owns the
// document. Count 0. Null only for a null document.
IZETAPDU* CreatePduFromDoc(std::unique_ptr<CzetaDoc> doc);

}  // namespace kvr::pdu
#endif  // KVR_PROTOCOL_MESSAGE_PDU_FACTORY_H_
