#include "protocol/pdu_factory.h"

#include <array>

#include "protocol/session_pdus.h"
#include "protocol/store_pdus.h"

namespace {

// Rows by command id. "MediaData" (7) and "MediaInfoQuery" (25) never come
// from a document and keep empty rows, as does every id whose units do not
// exist yet. A new pair of units gets its row here:
//   rows[kCmdAddPu] = PduRow<CAddpu, CAddpuAck>();
constexpr std::array<PduFactoryRow, kCommandCount> kRows = [] {
  std::array<PduFactoryRow, kCommandCount> rows{};
  rows[kCmdRegister] = PduRow<CRegister, CRegisterAck>();
  rows[kCmdKeepAlive] = PduRow<CKeepAlive, CKeepAliveAck>();
  rows[kCmdStoreConfigGet] = PduRow<CGetKVRCngParams, CGetKVRCngParamsAck>();
  rows[kCmdStoreConfigSet] = PduRow<CSetKVRCngParams, CSetKVRCngParamsAck>();
  rows[kCmdRecRealMedia] = PduRow<CRecordMedia, CRecordMediaAck>();
  rows[kCmdRecRealMediaControl] = PduRow<CRecordMediaControl, CRecordMediaControlAck>();
  rows[kCmdDeleteRecRealMedia] = PduRow<CDelRecordMedia, CDelRecordMediaAck>();
  rows[kCmdQueryRealMediaRecStatus] = PduRow<CQueryRecordStatus, CQueryRecordStatusAck>();
  rows[kCmdRecordEvent] = PduRow<CRecordEvent, CRecordEventAck>();
  rows[kCmdRecRealMediaSaveAs] = PduRow<CRecordMediaSaveAs, CRecordMediaSaveAsAck>();
  return rows;
}();

constexpr PduFactoryRow kInvalidRow = PduRow<CInvalidPacket, CInvalidPacketAck>();

}  // namespace

const PduFactoryRow& PduFactoryRowOf(int id) {
  static const PduFactoryRow kEmpty{};
  return IsCommandId(id) ? kRows[id] : kEmpty;
}

IZETAPDU* CreatePduFromDoc(std::unique_ptr<CzetaDoc> doc) {
  if (doc == nullptr) return nullptr;
  bool request = doc->GetCarrierMessageKind() == SvrFrame::kRequestMessage;
  const PduFactoryRow& row = PduFactoryRowOf(doc->GetCmdId());
  PduMaker maker = request ? row.request : row.response;
  if (maker == nullptr) maker = request ? kInvalidRow.request : kInvalidRow.response;
  return maker(std::move(doc));
}
