// The code tables of the ZETA control protocol: operation names by command
// id, result texts by result code, and the value types of the message
// document. The tables are constant; any thread may read them.
#ifndef KVR_PROTOCOL_MESSAGE_ZETA_CODES_H_
#define KVR_PROTOCOL_MESSAGE_ZETA_CODES_H_

#include <cstdint>

namespace kvr::pdu {

// Command ids: the index of the operation name in the command table.
enum ZetaCommand : int {
  kCmdRegister = 0,
  kCmdKeepAlive = 1,
  kCmdAddPu = 2,
  kCmdDelPu = 3,
  kCmdQueryPuInfo = 4,
  kCmdMonitorStart = 5,
  kCmdMonitorStop = 6,
  kCmdMediaData = 7,
  kCmdConnectInfo = 8,
  kCmdRecordPlay = 9,
  kCmdPlayControl = 10,
  kCmdRecordIndex = 11,
  kCmdStoreConfigGet = 12,
  kCmdStoreConfigSet = 13,
  kCmdRecRealMedia = 14,
  kCmdRecRealMediaControl = 15,
  kCmdDeleteRecRealMedia = 16,
  kCmdQueryRealMediaRecStatus = 17,
  kCmdRecordEvent = 18,
  kCmdRecRealMediaSaveAs = 19,
  kCmdAudioStart = 20,
  kCmdAudioStop = 21,
  kCmdCreateSession = 22,
  kCmdCloseSession = 23,
  kCmdPTZControl = 24,
  kCmdMediaInfoQuery = 25,
  kCmdAddPlan = 26,
  kCmdDelPlan = 27,
  kCmdModifyPlan = 28,
  kCmdExecutePlan = 29,
  kCmdPlanInfo = 30,
  kCmdPuDiagnosis = 31,
  kCmdSmartDiagnosis = 32,
  kCmdDiagnosisResult = 33,
  kCmdCapturePicture = 34,
  kCmdPlanLog = 35,
  kCmdBackupRecord = 36,
  kCmdNewRecordIndex = 37,
  kCmdLastRecordIndex = 38,
  kCmdRequestSpace = 39,
  kCmdRestartServer = 40,
  kCmdChannelCoverConfig = 41,
  kCmdChangeServerAddr = 42,
  kCmdInvalid = 43,  // the name of every id that has no command
  kCmdUnknown = -1,  // an operation name that is not in the table
  kCmdNone = 65535,  // no envelope could be read
};

// Ids below this are commands.
inline constexpr int kCommandCount = 43;
// Entries of the command table (the commands and "Invalid_CmdId").
inline constexpr int kCommandTableSize = 44;

// The operation name of `id`; "Invalid_CmdId" for every id that is not
// below kCommandCount (compared unsigned, so negative ids too).
const char* CommandName(int id);
// The id of an operation name (exact, case-sensitive); kCmdUnknown when the
// name is not one of the 44 table entries (null too).
int FindCommand(const char* name);
// Whether `id` names a command (0 to 42).
inline bool IsCommandId(int id) { return static_cast<unsigned>(id) < kCommandCount; }

// Result codes: the index of the result text in the result table. Codes 1
// to 3 are informational, 4 and above errors; 1 and 4 only mark the ranges.
enum ZetaResult : int {
  kResultSuccess = 0,
  kResultInfoMin = 1,
  kResultMediaData = 2,
  kResultDataFinished = 3,
  kResultErrorMin = 4,
  kResultCodeFail = 5,
  kResultPduConversion = 6,
  kResultLoadData = 7,
  kResultEmptyData = 8,
  kResultNotDistinguish = 9,
  kResultHttpParse = 10,
  kResultDocParse = 11,
  kResultCreateBuffer = 12,
  kResultXmlParse = 13,
  kResultXmlHead = 14,
  kResultXmlElement = 15,
  kResultXmlBody = 16,
  kResultCheckDevice = 17,
  kResultCheckChannel = 18,
  kResultBackupExist = 19,
  kResultRecordNoExist = 20,
  kResultPlmLogin = 21,
};

inline constexpr int kResultTableSize = 22;

// The result text of `code` ("Sucess" for 0); empty for a code outside the table.
const char* ResultText(int code);

}  // namespace kvr::pdu

// Value types of the document's typed reads and writes.
enum ValueType : int {
  kValueInt = 1,     // signed 32-bit, "%d"
  kValueString = 2,  // NUL-terminated text
  kValueBool = 3,    // 32-bit field, "true"/"false"
  kValueUint = 5,    // unsigned 32-bit, "%u"
};

// A numeric field holding this is left out of a message, and a missing
// element reads back as this.
inline constexpr int32_t ABSENT_VALUE = -2;

#endif  // KVR_PROTOCOL_MESSAGE_ZETA_CODES_H_
