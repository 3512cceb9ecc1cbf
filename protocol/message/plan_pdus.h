// The platform units of plans and diagnosis: plans ("AddPlan", "DelPlan",
// "ModifyPlan", "ExecutePlan", "PlanInfo", "PlanLog"), device and channel
// diagnosis ("PuDiagnosis", "SmartDiagnosis", "DiagnosisResult"), picture
// capture ("CapturePicture"), backup ("BackupRecord") and the record indexes
// a plan produces ("NewRecordIndex", "LastRecordIndex"), each request with
// its reply.
//
// Parsed and printed so that every platform message has its typed form; the
// fields are public and filled by the makers, lists are written member by
// member before ToBuffer and read back with the Next operations. See
// pdu_unit.h for how units are declared. Shared by reference count; used by
// one thread at a time.
#ifndef KVR_PROTOCOL_MESSAGE_PLAN_PDUS_H_
#define KVR_PROTOCOL_MESSAGE_PLAN_PDUS_H_

#include <cstdint>

#include "protocol/message/pdu_unit.h"

namespace kvr::pdu {

// The field blocks of the units; the unit classes follow the namespace, in
// the same order.

// ---- "AddPlan" (26), "DelPlan" (27), "ModifyPlan" (28), "ExecutePlan" (29)

struct PlanFields {
  uint32_t planId = 0;
  uint32_t type = 0;
  static constexpr PduField kFields[] = {
      Field<&PlanFields::planId>("planId"),
      Field<&PlanFields::type>("type"),
  };
};

// "ModifyPlan" carries its type signed.
struct PlanModifyFields {
  uint32_t planId = 0;
  int32_t type = 0;
  static constexpr PduField kFields[] = {
      Field<&PlanModifyFields::planId>("planId"),
      Field<&PlanModifyFields::type>("type"),
  };
};

// ---- "PlanInfo" (30)

struct PlanInfoFields {
  uint32_t planId = 0;
  int32_t type = 0;
  char beginTime[32] = "";
  char endTime[32] = "";
  char weekday[16] = "";
  int32_t interDay = 0;  // bool
  int32_t checkNumber = 0;
  char beginPosTime[32] = "";
  char endPosTime[32] = "";
  int32_t saveDays = 0;
  static constexpr PduField kFields[] = {
      Field<&PlanInfoFields::planId>("planId"),
      Field<&PlanInfoFields::type>("type"),
      Field<&PlanInfoFields::beginTime>("beginTime"),
      Field<&PlanInfoFields::endTime>("endTime"),
      Field<&PlanInfoFields::weekday>("weekday"),
      Bool<&PlanInfoFields::interDay>("interDay"),
      Field<&PlanInfoFields::checkNumber>("checkNumber"),
      Field<&PlanInfoFields::beginPosTime>("beginPosTime"),
      Field<&PlanInfoFields::endPosTime>("endPosTime"),
      Field<&PlanInfoFields::saveDays>("saveDays"),
  };
};

// ---- "PuDiagnosis" (31)

// One channel to check, a member of the diagnosis request's lists:
// "recordCheck" and "netCheck" carry the first three fields,
// "recordDaysCheck" adds recordDays and "voiceCheck" voiceActive. A member
// with an empty channelName ends its list.
struct DiagnosisChannelItem {
  int32_t planId = 0;
  int32_t channelNumber = 0;
  char channelName[36] = "";
  int32_t recordDays = 0;
  int32_t voiceActive = 0;  // 1 only for the exact text "true"
  static constexpr PduField kChannelFields[] = {
      Field<&DiagnosisChannelItem::planId>("planId"),
      Field<&DiagnosisChannelItem::channelNumber>("channelNumber"),
      Field<&DiagnosisChannelItem::channelName>("channelName"),
  };
  static constexpr PduField kRecordDaysFields[] = {
      Field<&DiagnosisChannelItem::planId>("planId"),
      Field<&DiagnosisChannelItem::channelNumber>("channelNumber"),
      Field<&DiagnosisChannelItem::channelName>("channelName"),
      Field<&DiagnosisChannelItem::recordDays>("recordDays"),
  };
  static constexpr PduField kVoiceFields[] = {
      Field<&DiagnosisChannelItem::planId>("planId"),
      Field<&DiagnosisChannelItem::channelNumber>("channelNumber"),
      Field<&DiagnosisChannelItem::channelName>("channelName"),
      TrueFlag<&DiagnosisChannelItem::voiceActive>("voiceActive"),
  };
};

// One member of the diagnosis reply's lists: "recordCheck" as read and
// written with a failure (planId, failType), or "recordCheck" and
// "netCheck" naming a channel (planId, channelNumber). The failure reader
// ends at a member without planId, which then reads -1.
struct DiagnosisCheckItem {
  int32_t planId = 0;
  int32_t failType = 0;
  int32_t channelNumber = 0;
  static constexpr PduField kFailFields[] = {
      Field<&DiagnosisCheckItem::planId>("planId").AbsentAs(-1),
      Field<&DiagnosisCheckItem::failType>("failType"),
  };
  static constexpr PduField kChannelFields[] = {
      Field<&DiagnosisCheckItem::planId>("planId"),
      Field<&DiagnosisCheckItem::channelNumber>("channelNumber"),
  };
};

struct PuDiagnosisAckFields {
  char puId[36] = "";
  static constexpr PduField kFields[] = {
      Field<&PuDiagnosisAckFields::puId>("puId"),
  };
};

struct PuDiagnosisFields {
  uint32_t planId = 0;
  char puId[36] = "";
  char puIp[36] = "";
  int32_t puPort = 0;
  uint8_t check = 0;  // bool
  char manufacturer[36] = "";
  char userName[36] = "";
  char passWord[36] = "";
  char puName[71] = "";
  static constexpr PduField kFields[] = {
      Field<&PuDiagnosisFields::planId>("planId"),
      Field<&PuDiagnosisFields::puId>("puId"),
      Field<&PuDiagnosisFields::puIp>("puIp"),
      Field<&PuDiagnosisFields::puPort>("puPort"),
      BoolByte<&PuDiagnosisFields::check>("check"),
      Field<&PuDiagnosisFields::manufacturer>("manufacturer"),
      Field<&PuDiagnosisFields::userName>("userName"),
      Field<&PuDiagnosisFields::passWord>("passWord"),
      Field<&PuDiagnosisFields::puName>("puName"),
  };
};

// ---- "SmartDiagnosis" (32)

// A device channel: the replies of "SmartDiagnosis" and "CapturePicture",
// and the "LastRecordIndex" request.
struct PuChannelFields {
  char puId[36] = "";
  int32_t channelNumber = 0;
  static constexpr PduField kFields[] = {
      Field<&PuChannelFields::puId>("puId"),
      Field<&PuChannelFields::channelNumber>("channelNumber"),
  };
};

// One member of "checks": an item to score and its limits. A member with an
// empty checkItem ends the list.
struct SmartCheckItem {
  int32_t planId = 0;
  char checkItem[36] = "";
  int32_t scoreLimit = 0;
  int32_t scoreLimitEx = 0;
  static constexpr PduField kFields[] = {
      Field<&SmartCheckItem::planId>("planId"),
      Field<&SmartCheckItem::checkItem>("checkItem"),
      Field<&SmartCheckItem::scoreLimit>("scoreLimit"),
      Field<&SmartCheckItem::scoreLimitEx>("scoreLimitEx"),
  };
};

struct SmartDiagnosisFields {
  char puId[36] = "";
  char puIp[36] = "";
  int32_t puPort = 0;
  char manufacturer[36] = "";
  char userName[36] = "";
  char passWord[36] = "";
  int32_t channelNumber = 0;
  char channelName[36] = "";
  char puName[36] = "";
  char beginPosTime[32] = "";
  char endPosTime[40] = "";
  static constexpr PduField kFields[] = {
      Field<&SmartDiagnosisFields::puId>("puId"),
      Field<&SmartDiagnosisFields::puIp>("puIp"),
      Field<&SmartDiagnosisFields::puPort>("puPort"),
      Field<&SmartDiagnosisFields::manufacturer>("manufacturer"),
      Field<&SmartDiagnosisFields::userName>("userName"),
      Field<&SmartDiagnosisFields::passWord>("passWord"),
      Field<&SmartDiagnosisFields::channelNumber>("channelNumber"),
      Field<&SmartDiagnosisFields::channelName>("channelName"),
      Field<&SmartDiagnosisFields::puName>("puName"),
      Field<&SmartDiagnosisFields::beginPosTime>("beginPosTime"),
      Field<&SmartDiagnosisFields::endPosTime>("endPosTime"),
  };
};

// ---- "DiagnosisResult" (33)

// One member of "recordLost": a planned record span and the part of it that
// is missing, as the platform's time texts. A member with an empty
// planRecBeginTime ends the list.
struct RecordLostItem {
  char planRecBeginTime[32] = "";
  char planRecEndTime[32] = "";
  char recLostBeginTime[32] = "";
  char recLostEndTime[32] = "";
  static constexpr PduField kFields[] = {
      Field<&RecordLostItem::planRecBeginTime>("planRecBeginTime"),
      Field<&RecordLostItem::planRecEndTime>("planRecEndTime"),
      Field<&RecordLostItem::recLostBeginTime>("recLostBeginTime"),
      Field<&RecordLostItem::recLostEndTime>("recLostEndTime"),
  };
};

struct DiagnoseResultFields {
  char puId[36] = "";
  char puName[36] = "";
  char channelName[36] = "";
  int32_t channelNumber = 0;
  char diagnoseType[36] = "";
  char subType[36] = "";
  int32_t score = 0;
  uint8_t isAlarm = 0;  // bool
  char notes[512] = "";
  char reportTime[32] = "";
  char picPath[259] = "";
  uint32_t planId = 0;
  char rtspUrl[512] = "";
  int32_t playHandle = 0;
  static constexpr PduField kFields[] = {
      Field<&DiagnoseResultFields::puId>("puId"),
      Field<&DiagnoseResultFields::puName>("puName"),
      Field<&DiagnoseResultFields::channelName>("channelName"),
      Field<&DiagnoseResultFields::channelNumber>("channelNumber"),
      Field<&DiagnoseResultFields::diagnoseType>("diagnoseType"),
      Field<&DiagnoseResultFields::subType>("subType"),
      Field<&DiagnoseResultFields::score>("score"),
      BoolByte<&DiagnoseResultFields::isAlarm>("isAlarm"),
      Field<&DiagnoseResultFields::notes>("notes"),
      Field<&DiagnoseResultFields::reportTime>("reportTime"),
      Field<&DiagnoseResultFields::picPath>("picPath"),
      Field<&DiagnoseResultFields::planId>("planId"),
      Field<&DiagnoseResultFields::rtspUrl>("rtspUrl"),
      Field<&DiagnoseResultFields::playHandle>("playHandle"),
  };
};

// ---- "CapturePicture" (34)

struct CapturePictureFields {
  char puId[36] = "";
  char puIp[36] = "";
  int32_t puPort = 0;
  char manufacturer[36] = "";
  char userName[36] = "";
  char passWord[36] = "";
  char puName[36] = "";
  char channelName[36] = "";
  int32_t channelNumber = 0;
  static constexpr PduField kFields[] = {
      Field<&CapturePictureFields::puId>("puId"),
      Field<&CapturePictureFields::puIp>("puIp"),
      Field<&CapturePictureFields::puPort>("puPort"),
      Field<&CapturePictureFields::manufacturer>("manufacturer"),
      Field<&CapturePictureFields::userName>("userName"),
      Field<&CapturePictureFields::passWord>("passWord"),
      Field<&CapturePictureFields::puName>("puName"),
      Field<&CapturePictureFields::channelName>("channelName"),
      Field<&CapturePictureFields::channelNumber>("channelNumber"),
  };
};

// ---- "PlanLog" (35)

struct PlanLogFields {
  uint32_t planId = 0;
  int32_t status = 0;
  int32_t result = 0;
  char reportTime[32] = "";
  int32_t planType = 0;
  static constexpr PduField kFields[] = {
      Field<&PlanLogFields::planId>("planId"),     Field<&PlanLogFields::status>("status"),
      Field<&PlanLogFields::result>("result"),     Field<&PlanLogFields::reportTime>("reportTime"),
      Field<&PlanLogFields::planType>("planType"),
  };
};

// ---- "BackupRecord" (36)

struct PuIdFields {
  char puId[36] = "";
  static constexpr PduField kFields[] = {
      Field<&PuIdFields::puId>("puId"),
  };
};

struct BackupRecordFields {
  uint32_t planId = 0;
  char puId[36] = "";
  char puIp[36] = "";
  int32_t puPort = 0;
  char manufacturer[36] = "";
  char userName[36] = "";
  char passWord[36] = "";
  char puName[36] = "";
  int32_t channelNumber = 0;
  char channelName[36] = "";
  int32_t saveDays = 0;
  static constexpr PduField kFields[] = {
      Field<&BackupRecordFields::planId>("planId"),
      Field<&BackupRecordFields::puId>("puId"),
      Field<&BackupRecordFields::puIp>("puIp"),
      Field<&BackupRecordFields::puPort>("puPort"),
      Field<&BackupRecordFields::manufacturer>("manufacturer"),
      Field<&BackupRecordFields::userName>("userName"),
      Field<&BackupRecordFields::passWord>("passWord"),
      Field<&BackupRecordFields::puName>("puName"),
      Field<&BackupRecordFields::channelNumber>("channelNumber"),
      Field<&BackupRecordFields::channelName>("channelName"),
      Field<&BackupRecordFields::saveDays>("saveDays"),
  };
};

// ---- "NewRecordIndex" (37), "LastRecordIndex" (38)

struct RecordIndexFields {
  uint32_t planId = 0;
  int32_t type = 0;
  char puId[36] = "";
  char puName[36] = "";
  char channelName[36] = "";
  int32_t channelNumber = 0;
  int32_t score = 0;
  char reportTime[32] = "";
  char filePath[256] = "";
  char beginTime[36] = "";
  char endTime[36] = "";
  int32_t saveDays = 0;
  char rtspUrl[512] = "";
  int32_t playHandle = 0;
  static constexpr PduField kFields[] = {
      Field<&RecordIndexFields::planId>("planId"),
      Field<&RecordIndexFields::type>("type"),
      Field<&RecordIndexFields::puId>("puId"),
      Field<&RecordIndexFields::puName>("puName"),
      Field<&RecordIndexFields::channelName>("channelName"),
      Field<&RecordIndexFields::channelNumber>("channelNumber"),
      Field<&RecordIndexFields::score>("score"),
      Field<&RecordIndexFields::reportTime>("reportTime"),
      Field<&RecordIndexFields::filePath>("filePath"),
      Field<&RecordIndexFields::beginTime>("beginTime"),
      Field<&RecordIndexFields::endTime>("endTime"),
      Field<&RecordIndexFields::saveDays>("saveDays"),
      Field<&RecordIndexFields::rtspUrl>("rtspUrl"),
      Field<&RecordIndexFields::playHandle>("playHandle"),
  };
};

struct LastIndexAckFields {
  int32_t type = 0;
  char puId[36] = "";
  char puName[36] = "";
  char channelName[36] = "";
  int32_t channelNumber = 0;
  int32_t score = 0;
  char filePath[256] = "";
  char beginTime[36] = "";
  char endTime[36] = "";
  int32_t saveDays = 0;
  static constexpr PduField kFields[] = {
      Field<&LastIndexAckFields::type>("type"),
      Field<&LastIndexAckFields::puId>("puId"),
      Field<&LastIndexAckFields::puName>("puName"),
      Field<&LastIndexAckFields::channelName>("channelName"),
      Field<&LastIndexAckFields::channelNumber>("channelNumber"),
      Field<&LastIndexAckFields::score>("score"),
      Field<&LastIndexAckFields::filePath>("filePath"),
      Field<&LastIndexAckFields::beginTime>("beginTime"),
      Field<&LastIndexAckFields::endTime>("endTime"),
      Field<&LastIndexAckFields::saveDays>("saveDays"),
  };
};

}  // namespace kvr::pdu

// ---- "AddPlan" (26), "DelPlan" (27), "ModifyPlan" (28), "ExecutePlan" (29)

class CPlanAddAck final
    : public kvr::pdu::TResponsePDU<CPlanAddAck, kvr::pdu::NoFields, kvr::pdu::kCmdAddPlan> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CPlanAdd final : public kvr::pdu::TRequestPDU<CPlanAdd, kvr::pdu::PlanFields,
                                                    kvr::pdu::kCmdAddPlan, CPlanAddAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

class CPlanDelAck final
    : public kvr::pdu::TResponsePDU<CPlanDelAck, kvr::pdu::NoFields, kvr::pdu::kCmdDelPlan> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CPlanDel final : public kvr::pdu::TRequestPDU<CPlanDel, kvr::pdu::PlanFields,
                                                    kvr::pdu::kCmdDelPlan, CPlanDelAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

class CPlanModifyAck final
    : public kvr::pdu::TResponsePDU<CPlanModifyAck, kvr::pdu::NoFields, kvr::pdu::kCmdModifyPlan> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CPlanModify final : public kvr::pdu::TRequestPDU<CPlanModify, kvr::pdu::PlanModifyFields,
                                                       kvr::pdu::kCmdModifyPlan, CPlanModifyAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

class CPlanExecuteAck final : public kvr::pdu::TResponsePDU<CPlanExecuteAck, kvr::pdu::NoFields,
                                                            kvr::pdu::kCmdExecutePlan> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CPlanExecute final
    : public kvr::pdu::TRequestPDU<CPlanExecute, kvr::pdu::PlanFields, kvr::pdu::kCmdExecutePlan,
                                   CPlanExecuteAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "PlanInfo" (30)

class CPlanInfoAck final
    : public kvr::pdu::TResponsePDU<CPlanInfoAck, kvr::pdu::NoFields, kvr::pdu::kCmdPlanInfo> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CPlanInfo final : public kvr::pdu::TRequestPDU<CPlanInfo, kvr::pdu::PlanInfoFields,
                                                     kvr::pdu::kCmdPlanInfo, CPlanInfoAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "PuDiagnosis" (31)

class CPuDiagnosisAck final
    : public kvr::pdu::TResponsePDU<CPuDiagnosisAck, kvr::pdu::PuDiagnosisAckFields,
                                    kvr::pdu::kCmdPuDiagnosis> {
 public:
  using TResponsePDU::TResponsePDU;
  // Both "recordCheck" forms share one cursor pair, so that members written
  // in either form follow each other.
  static constexpr kvr::pdu::PduList<kvr::pdu::DiagnosisCheckItem> kRecordFailures{
      "recordCheck", kvr::pdu::DiagnosisCheckItem::kFailFields, 0};
  static constexpr kvr::pdu::PduList<kvr::pdu::DiagnosisCheckItem> kRecordChannels{
      "recordCheck", kvr::pdu::DiagnosisCheckItem::kChannelFields, 0};
  static constexpr kvr::pdu::PduList<kvr::pdu::DiagnosisCheckItem> kNetChannels{
      "netCheck", kvr::pdu::DiagnosisCheckItem::kChannelFields, 1};

  // Appends a failure (planId, failType) to "recordCheck". Returns 0.
  int AddRecordCheck(const kvr::pdu::DiagnosisCheckItem& item) {
    return AddListItem(kRecordFailures, item);
  }
  // The next failure: 0, or 3 when its planId is missing (then -1).
  int NextRecordCheck(kvr::pdu::DiagnosisCheckItem* item, bool restart) {
    return NextListItem(kRecordFailures, item, restart);
  }
  // Append a channel (planId, channelNumber) to "recordCheck" or "netCheck".
  int AddRecordCheckChannel(int32_t planId, int32_t channelNumber);
  int AddNetCheckChannel(int32_t planId, int32_t channelNumber);
};

class CPuDiagnosis final
    : public kvr::pdu::TRequestPDU<CPuDiagnosis, kvr::pdu::PuDiagnosisFields,
                                   kvr::pdu::kCmdPuDiagnosis, CPuDiagnosisAck> {
 public:
  using TRequestPDU::TRequestPDU;
  static constexpr kvr::pdu::PduList<kvr::pdu::DiagnosisChannelItem> kRecordChecks{
      "recordCheck", kvr::pdu::DiagnosisChannelItem::kChannelFields, 0};
  static constexpr kvr::pdu::PduList<kvr::pdu::DiagnosisChannelItem> kNetChecks{
      "netCheck", kvr::pdu::DiagnosisChannelItem::kChannelFields, 1};
  static constexpr kvr::pdu::PduList<kvr::pdu::DiagnosisChannelItem> kRecordDaysChecks{
      "recordDaysCheck", kvr::pdu::DiagnosisChannelItem::kRecordDaysFields, 2};
  static constexpr kvr::pdu::PduList<kvr::pdu::DiagnosisChannelItem> kVoiceChecks{
      "voiceCheck", kvr::pdu::DiagnosisChannelItem::kVoiceFields, 3};

  // Append a channel to one of the four lists. Return 0.
  int AddRecordCheck(const kvr::pdu::DiagnosisChannelItem& item) {
    return AddListItem(kRecordChecks, item);
  }
  int AddNetCheck(const kvr::pdu::DiagnosisChannelItem& item) {
    return AddListItem(kNetChecks, item);
  }
  int AddRecordDaysCheck(const kvr::pdu::DiagnosisChannelItem& item) {
    return AddListItem(kRecordDaysChecks, item);
  }
  int AddVoiceCheck(const kvr::pdu::DiagnosisChannelItem& item) {
    return AddListItem(kVoiceChecks, item);
  }
  // The next channel of a list (fields outside the list's form are left as
  // they are): 0, or 3 when its channelName is empty.
  int NextRecordCheck(kvr::pdu::DiagnosisChannelItem* item, bool restart) {
    return NextListItem(kRecordChecks, item, restart);
  }
  int NextNetCheck(kvr::pdu::DiagnosisChannelItem* item, bool restart) {
    return NextListItem(kNetChecks, item, restart);
  }
  int NextRecordDaysCheck(kvr::pdu::DiagnosisChannelItem* item, bool restart) {
    return NextListItem(kRecordDaysChecks, item, restart);
  }
  int NextVoiceCheck(kvr::pdu::DiagnosisChannelItem* item, bool restart) {
    return NextListItem(kVoiceChecks, item, restart);
  }
};

// ---- "SmartDiagnosis" (32)

class CSmartDiagnosisAck final
    : public kvr::pdu::TResponsePDU<CSmartDiagnosisAck, kvr::pdu::PuChannelFields,
                                    kvr::pdu::kCmdSmartDiagnosis> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CSmartDiagnosis final
    : public kvr::pdu::TRequestPDU<CSmartDiagnosis, kvr::pdu::SmartDiagnosisFields,
                                   kvr::pdu::kCmdSmartDiagnosis, CSmartDiagnosisAck> {
 public:
  using TRequestPDU::TRequestPDU;
  static constexpr kvr::pdu::PduList<kvr::pdu::SmartCheckItem> kChecks{
      "checks", kvr::pdu::SmartCheckItem::kFields, 0};

  // Appends an item to "checks". Returns 0.
  int AddCheck(const kvr::pdu::SmartCheckItem& item) { return AddListItem(kChecks, item); }
  // The next item: 0, or 3 when its checkItem is empty.
  int NextCheck(kvr::pdu::SmartCheckItem* item, bool restart) {
    return NextListItem(kChecks, item, restart);
  }
};

// ---- "DiagnosisResult" (33)

class CDiagnoseResultAck final
    : public kvr::pdu::TResponsePDU<CDiagnoseResultAck, kvr::pdu::NoFields,
                                    kvr::pdu::kCmdDiagnosisResult> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CDiagnoseResult final
    : public kvr::pdu::TRequestPDU<CDiagnoseResult, kvr::pdu::DiagnoseResultFields,
                                   kvr::pdu::kCmdDiagnosisResult, CDiagnoseResultAck> {
 public:
  using TRequestPDU::TRequestPDU;
  static constexpr kvr::pdu::PduList<kvr::pdu::RecordLostItem> kRecordLost{
      "recordLost", kvr::pdu::RecordLostItem::kFields, 0};

  // Appends a span to "recordLost". Returns 0.
  int AddRecordLost(const kvr::pdu::RecordLostItem& item) { return AddListItem(kRecordLost, item); }
  // The next span: 0, or 3 when its planRecBeginTime is empty.
  int NextRecordLost(kvr::pdu::RecordLostItem* item, bool restart) {
    return NextListItem(kRecordLost, item, restart);
  }
};

// ---- "CapturePicture" (34)

class CCapturePictureAck final
    : public kvr::pdu::TResponsePDU<CCapturePictureAck, kvr::pdu::PuChannelFields,
                                    kvr::pdu::kCmdCapturePicture> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CCapturePicture final
    : public kvr::pdu::TRequestPDU<CCapturePicture, kvr::pdu::CapturePictureFields,
                                   kvr::pdu::kCmdCapturePicture, CCapturePictureAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "PlanLog" (35)

class CPlanLogAck final
    : public kvr::pdu::TResponsePDU<CPlanLogAck, kvr::pdu::NoFields, kvr::pdu::kCmdPlanLog> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CPlanLog final : public kvr::pdu::TRequestPDU<CPlanLog, kvr::pdu::PlanLogFields,
                                                    kvr::pdu::kCmdPlanLog, CPlanLogAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "BackupRecord" (36)

class CBackupRecordAck final : public kvr::pdu::TResponsePDU<CBackupRecordAck, kvr::pdu::PuIdFields,
                                                             kvr::pdu::kCmdBackupRecord> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CBackupRecord final
    : public kvr::pdu::TRequestPDU<CBackupRecord, kvr::pdu::BackupRecordFields,
                                   kvr::pdu::kCmdBackupRecord, CBackupRecordAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

// ---- "NewRecordIndex" (37), "LastRecordIndex" (38)

class CRecordIndexAck final : public kvr::pdu::TResponsePDU<CRecordIndexAck, kvr::pdu::NoFields,
                                                            kvr::pdu::kCmdNewRecordIndex> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CRecordIndex final
    : public kvr::pdu::TRequestPDU<CRecordIndex, kvr::pdu::RecordIndexFields,
                                   kvr::pdu::kCmdNewRecordIndex, CRecordIndexAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

class CLastIndexAck final
    : public kvr::pdu::TResponsePDU<CLastIndexAck, kvr::pdu::LastIndexAckFields,
                                    kvr::pdu::kCmdLastRecordIndex> {
 public:
  using TResponsePDU::TResponsePDU;
};

class CLastIndex final
    : public kvr::pdu::TRequestPDU<CLastIndex, kvr::pdu::PuChannelFields,
                                   kvr::pdu::kCmdLastRecordIndex, CLastIndexAck> {
 public:
  using TRequestPDU::TRequestPDU;
};

#endif  // KVR_PROTOCOL_MESSAGE_PLAN_PDUS_H_
