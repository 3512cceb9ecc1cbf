#include "protocol/message/media_pdu.h"

#include <new>

#include "protocol/message/zeta_codes.h"

namespace {
using kvr::pdu::kResultCreateBuffer;
using kvr::pdu::kResultEmptyData;
using kvr::pdu::kResultSuccess;
}  // namespace

CQwMediaData* CQwMediaData::Create(const char* data, int length, int kind) {
  if (kind != kKindData && kind != kKindStream) return nullptr;
  auto* unit = new CQwMediaData();
  unit->mediaKind_ = kind;
  if (data == nullptr || length <= 0) {
    unit->status_ = kResultEmptyData;
    return unit;
  }
  auto* buffer = new (std::nothrow) CAutoBuffer();
  if (buffer == nullptr || buffer->MakeByteCopy(length, data) == nullptr) {
    delete buffer;
    unit->status_ = kResultCreateBuffer;
    return unit;
  }
  unit->buffer_ = buffer;
  unit->status_ = kResultSuccess;
  return unit;
}
