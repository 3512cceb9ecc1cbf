#include "media/kvr_source_mdl.h"

#include "media/source_units.h"
#include "protocol/message/store_pdus.h"
#include "svrframe/text_field.h"

namespace kvr::media {

bool CKVRSourceMdl::TakeRecordUrl(const CRecordMedia& request) {
  const std::string recordUrl(kvr::FieldText(request.writeFileUrl));
  SetRecordUrl(recordUrl.c_str());
  if (!recordUrl.empty()) return true;
  kvr::media::SendFailRecord(this, GetWriterName(), recordUrl);
  kvr::media::SendStartAck(this, std::string(), recordUrl);
  return false;
}

}  // namespace kvr::media
