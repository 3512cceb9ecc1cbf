#include "protocol/message/pdu_factory.h"

#include <array>

#include "protocol/message/platform_pdus.h"
#include "protocol/message/session_pdus.h"
#include "protocol/message/store_pdus.h"
namespace kvr::pdu {

namespace {

// Rows by command id. "MediaData" (7) and "MediaInfoQuery" (25) never come
// from a document and keep empty rows.
constexpr std::array<PduFactoryRow, kCommandCount> kRows = [] {
  std::array<PduFactoryRow, kCommandCount> rows{};
  rows[kCmdRegister] = PduRow<CRegister, CRegisterAck>();
  rows[kCmdKeepAlive] = PduRow<CKeepAlive, CKeepAliveAck>();
  rows[kCmdAddPu] = PduRow<CAddpu, CAddpuAck>();
  rows[kCmdDelPu] = PduRow<CDelpu, CDelpuAck>();
  rows[kCmdQueryPuInfo] = PduRow<CQuerypuInfo, CQuerypuInfoAck>();
  rows[kCmdMonitorStart] = PduRow<CMonitorStart, CMonitorStartAck>();
  rows[kCmdMonitorStop] = PduRow<CMonitorStop, CMonitorStopAck>();
  rows[kCmdConnectInfo] = PduRow<CConnQuery, CConnQueryAck>();
  rows[kCmdRecordPlay] = PduRow<CRecordPlay, CRecordPlayAck>();
  rows[kCmdPlayControl] = PduRow<CPlayControl, CPlayControlAck>();
  rows[kCmdRecordIndex] = PduRow<CRecordIndexQuery, CRecordIndexQueryAck>();
  rows[kCmdStoreConfigGet] = PduRow<CGetKVRCngParams, CGetKVRCngParamsAck>();
  rows[kCmdStoreConfigSet] = PduRow<CSetKVRCngParams, CSetKVRCngParamsAck>();
  rows[kCmdRecRealMedia] = PduRow<CRecordMedia, CRecordMediaAck>();
  rows[kCmdRecRealMediaControl] = PduRow<CRecordMediaControl, CRecordMediaControlAck>();
  rows[kCmdDeleteRecRealMedia] = PduRow<CDelRecordMedia, CDelRecordMediaAck>();
  rows[kCmdQueryRealMediaRecStatus] = PduRow<CQueryRecordStatus, CQueryRecordStatusAck>();
  rows[kCmdRecordEvent] = PduRow<CRecordEvent, CRecordEventAck>();
  rows[kCmdRecRealMediaSaveAs] = PduRow<CRecordMediaSaveAs, CRecordMediaSaveAsAck>();
  rows[kCmdAudioStart] = PduRow<CAudioTalkStart, CAudioTalkStartAck>();
  rows[kCmdAudioStop] = PduRow<CAudioTalkStop, CAudioTalkStopAck>();
  rows[kCmdCreateSession] = PduRow<CCreateSession, CCreateSessionAck>();
  rows[kCmdCloseSession] = PduRow<CCloseSession, CCloseSessionAck>();
  rows[kCmdPTZControl] = PduRow<CPtzControl, CPtzControlAck>();
  rows[kCmdAddPlan] = PduRow<CPlanAdd, CPlanAddAck>();
  rows[kCmdDelPlan] = PduRow<CPlanDel, CPlanDelAck>();
  rows[kCmdModifyPlan] = PduRow<CPlanModify, CPlanModifyAck>();
  rows[kCmdExecutePlan] = PduRow<CPlanExecute, CPlanExecuteAck>();
  rows[kCmdPlanInfo] = PduRow<CPlanInfo, CPlanInfoAck>();
  rows[kCmdPuDiagnosis] = PduRow<CPuDiagnosis, CPuDiagnosisAck>();
  rows[kCmdSmartDiagnosis] = PduRow<CSmartDiagnosis, CSmartDiagnosisAck>();
  rows[kCmdDiagnosisResult] = PduRow<CDiagnoseResult, CDiagnoseResultAck>();
  rows[kCmdCapturePicture] = PduRow<CCapturePicture, CCapturePictureAck>();
  rows[kCmdPlanLog] = PduRow<CPlanLog, CPlanLogAck>();
  rows[kCmdBackupRecord] = PduRow<CBackupRecord, CBackupRecordAck>();
  rows[kCmdNewRecordIndex] = PduRow<CRecordIndex, CRecordIndexAck>();
  rows[kCmdLastRecordIndex] = PduRow<CLastIndex, CLastIndexAck>();
  rows[kCmdRequestSpace] = PduRow<CRequestSpace, CRequestSpaceAck>();
  rows[kCmdRestartServer] = PduRow<CCloseServer, CCloseServerAck>();
  rows[kCmdChannelCoverConfig] = PduRow<CCoverConfig, CCoverConfigAck>();
  rows[kCmdChangeServerAddr] = PduRow<CChangeServerAddr, CChangeServerAddrAck>();
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

}  // namespace kvr::pdu
