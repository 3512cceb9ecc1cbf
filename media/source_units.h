// The units both media sources send about their record: "fail the record"
// to the writer, and the start reply. Internal to media/; the caller's module
// sends them, so they carry its name as their origin. Safe from any thread.
#ifndef KVR_MEDIA_SOURCE_UNITS_H_
#define KVR_MEDIA_SOURCE_UNITS_H_

#include <string>

#include "svrframe/mdl_base.h"

namespace kvr::media {

// A "RecRealMediaControl" with "ctrlInfo" 0 for `recordUrl`, addressed to
// `writer`: the writer goes from recording to failed.
void SendFailRecord(SvrFrame::CMdlBase* sender, const std::string& writer,
                    const std::string& recordUrl);

// A "RecRealMedia" reply with result 5 naming `recordUrl`, addressed to
// `requester` (empty: no address, the routes decide).
void SendStartAck(SvrFrame::CMdlBase* sender, const std::string& requester,
                  const std::string& recordUrl);

// A "RecordEvent" with `event` for `recordUrl`, addressed to `writer`.
void SendRecordEvent(SvrFrame::CMdlBase* sender, const std::string& writer,
                     const std::string& recordUrl, int event);

}  // namespace kvr::media

#endif  // KVR_MEDIA_SOURCE_UNITS_H_
