#include "protocol/message/zeta_codes.h"

#include <cstring>
namespace kvr::pdu {

namespace {

// Fixed 64-byte slots, as the tables have always been laid out.
using Slot = char[64];

constexpr Slot kCommandNames[kCommandTableSize] = {
    "Register",
    "KeepAlive",
    "AddPu",
    "DelPu",
    "QueryPuInfo",
    "MonitorStart",
    "MonitorStop",
    "MediaData",
    "ConnectInfo",
    "RecordPlay",
    "PlayControl",
    "RecordIndex",
    "StoreConfigGet",
    "StoreConfigSet",
    "RecRealMedia",
    "RecRealMediaControl",
    "DeleteRecRealMedia",
    "QueryRealMediaRecStatus",
    "RecordEvent",
    "RecRealMediaSaveAs",
    "AudioStart",
    "AudioStop",
    "CreateSession",
    "CloseSession",
    "PTZControl",
    "MediaInfoQuery",
    "AddPlan",
    "DelPlan",
    "ModifyPlan",
    "ExecutePlan",
    "PlanInfo",
    "PuDiagnosis",
    "SmartDiagnosis",
    "DiagnosisResult",
    "CapturePicture",
    "PlanLog",
    "BackupRecord",
    "NewRecordIndex",
    "LastRecordIndex",
    "RequestSpace",
    "RestartServer",
    "ChannelCoverConfig",
    "ChangeServerAddr",
    "Invalid_CmdId",
};

constexpr Slot kResultTexts[kResultTableSize] = {
    "Sucess",
    "min info code (not use)",
    "qwent media data",
    "data finished",
    "min error code (not use)",
    "Code Fail",
    "PDU Convertion Error",
    "Error Load Data From Doc",
    "Empty data",
    "Not distinguish",
    "Can't parse http",
    "Can't parse doc",
    "Fail to Create buffer",
    "Fail to parse Xml",
    "Fail to parse Xml head",
    "Fail to parse Xml element",
    "Fail to parse Xml body",
    "Checking the device",
    "Checking the channel",
    "Backup Module exist",
    "Record No Exist",
    "Fail to login PLM",
};

}  // namespace

const char* CommandName(int id) {
  return IsCommandId(id) ? kCommandNames[id] : kCommandNames[kCmdInvalid];
}

int FindCommand(const char* name) {
  if (name == nullptr) return kCmdUnknown;
  for (int id = 0; id < kCommandTableSize; ++id) {
    if (std::strcmp(kCommandNames[id], name) == 0) return id;
  }
  return kCmdUnknown;
}

const char* ResultText(int code) {
  return static_cast<unsigned>(code) < kResultTableSize ? kResultTexts[code] : "";
}

}  // namespace kvr::pdu
