#include "protocol/message/device_pdus.h"

#include <string>

#include "protocol/message/pdu_fields.h"
#include "protocol/message/zeta_text.h"

namespace {
using kvr::pdu::kResultCodeFail;
using kvr::pdu::kResultDataFinished;
using kvr::pdu::kResultSuccess;
using kvr::pdu::ListPath;
using kvr::pdu::ParseDecimalInt;
}  // namespace

int CMediaInfoQueryAck::GetListNumber(const char* list, int index, const char* key,
                                      int32_t* value) const {
  if (list == nullptr || key == nullptr || value == nullptr || index < 0 || GetDoc() == nullptr) {
    return kResultCodeFail;
  }
  const char* text = GetDoc()->GetValue(ListPath(list, index, key).c_str());
  if (text == nullptr) {
    // A missing number in a list reads 0, as in every list of these units.
    *value = 0;
    return kResultDataFinished;
  }
  *value = ParseDecimalInt(text);
  return kResultSuccess;
}

int CMediaInfoQueryAck::SetListNumber(const char* list, int index, const char* key, int32_t value) {
  if (list == nullptr || key == nullptr || index < 0 || GetDoc() == nullptr) {
    return kResultCodeFail;
  }
  return GetDoc()->SetValue(ListPath(list, index, key).c_str(), &value, kValueInt);
}
