#include "media/source_units.h"

#include "protocol/message/store_pdus.h"
#include "svrframe/text_field.h"

namespace kvr::media {
namespace {

using kvr::pdu::kResultCodeFail;

using kvr::CopyField;

// Control and replies travel as control data, which is never refused for a
// full queue: a record must not stay half-started because media filled it.
void SendTo(SvrFrame::CMdlBase* sender, SvrFrame::CInnerProtocolStack* unit,
            const std::string& destination) {
  SvrFrame::MessageRef ref(unit);
  if (!destination.empty()) unit->AddReplyTo(CSecureString(destination.c_str()));
  sender->Send(ref, 0, SvrFrame::kControlDataClass);
}

}  // namespace

void SendFailRecord(SvrFrame::CMdlBase* sender, const std::string& writer,
                    const std::string& recordUrl) {
  CRecordMediaControl* control = CRecordMediaControl::Create();
  CopyField(control->recordFileUrl, recordUrl);
  control->ctrlInfo = 0;
  SendTo(sender, control, writer);
}

void SendStartAck(SvrFrame::CMdlBase* sender, const std::string& requester,
                  const std::string& recordUrl) {
  CRecordMediaAck* ack = CRecordMediaAck::Create(kResultCodeFail);
  CopyField(ack->recordFileUrl, recordUrl);
  SendTo(sender, ack, requester);
}

void SendRecordEvent(SvrFrame::CMdlBase* sender, const std::string& writer,
                     const std::string& recordUrl, int event) {
  CRecordEvent* unit = CRecordEvent::Create();
  CopyField(unit->recordFileUrl, recordUrl);
  unit->recordEvent = event;
  SendTo(sender, unit, writer);
}

}  // namespace kvr::media
