#include "protocol/message/zeta_doc.h"

CzetaDoc::~CzetaDoc() = default;

int CzetaDoc::GetCarrierMessageKind() const {
  if (carrier_ == nullptr) return 0;
  int kind = carrier_->GetMessageKind();
  return kind > 0 ? kind : 0;
}
