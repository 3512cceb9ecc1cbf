#include "protocol/message/plan_pdus.h"

namespace {
using kvr::pdu::DiagnosisCheckItem;
}  // namespace

int CPuDiagnosisAck::AddRecordCheckChannel(int32_t planId, int32_t channelNumber) {
  DiagnosisCheckItem item;
  item.planId = planId;
  item.channelNumber = channelNumber;
  return AddListItem(kRecordChannels, item);
}

int CPuDiagnosisAck::AddNetCheckChannel(int32_t planId, int32_t channelNumber) {
  DiagnosisCheckItem item;
  item.planId = planId;
  item.channelNumber = channelNumber;
  return AddListItem(kNetChannels, item);
}
