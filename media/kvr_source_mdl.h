// What the two media sources of a record task (pulled and pushed) share: the
// names the storage function module gives them before the start request, and
// the read URL and requester that the start request then fills in.
//
// Ownership: a base of CKVRRTSPCommMdl and CKVRDvConCommMdl; never made alone.
// Threads: the message path writes the texts while host threads (pushed
// chunks) and the stream library's reader (pulled data, lost streams) read
// them, so every text is copied in and out under one small lock.
#ifndef KVR_MEDIA_KVR_SOURCE_MDL_H_
#define KVR_MEDIA_KVR_SOURCE_MDL_H_

#include <memory>
#include <string>

#include "platform/mutex.h"
#include "svrframe/comm_mdl.h"
#include "svrframe/refusal_tally.h"
#include "svrframe/secure_string.h"

class CRecordMedia;

namespace kvr::media {

class CKVRSourceMdl : public SvrFrame::CCommMdl {
 public:
  // ---- Set by the maker before the start request ----
  void SetWriterName(const char* name) {
    platform::MutexLock lock(textMu_);
    writerName_ = OrEmpty(name);
  }
  void SetRequester(const char* name) {
    platform::MutexLock lock(textMu_);
    requester_ = OrEmpty(name);
  }
  void SetRecordUrl(const char* url) {
    platform::MutexLock lock(textMu_);
    recordUrl_ = OrEmpty(url);
  }
  // The record's count of refused messages, attached to every media unit.
  void SetRefusalTally(std::shared_ptr<SvrFrame::CRefusalTally> tally) {
    platform::MutexLock lock(textMu_);
    refusals_ = std::move(tally);
  }

  // ---- Any thread ----
  std::string GetWriterName() const {
    platform::MutexLock lock(textMu_);
    return writerName_;
  }
  std::string GetRequester() const {
    platform::MutexLock lock(textMu_);
    return requester_;
  }
  std::string GetRecordUrl() const {
    platform::MutexLock lock(textMu_);
    return recordUrl_;
  }
  std::string GetReadUrl() const {
    platform::MutexLock lock(textMu_);
    return readUrl_;
  }
  std::shared_ptr<SvrFrame::CRefusalTally> GetRefusalTally() const {
    platform::MutexLock lock(textMu_);
    return refusals_;
  }

 protected:
  CKVRSourceMdl() : CCommMdl(false) {}

  // Takes the start request's record URL. Without one nothing can be
  // addressed: the writer is told to fail the record, the start is answered
  // with result 5, and the answer is false.
  bool TakeRecordUrl(const CRecordMedia& request);

  // The start request's read URL and sending module; an empty one keeps what
  // the maker set.
  void TakeStartTexts(const std::string& readUrl, const CSecureString& origin) {
    platform::MutexLock lock(textMu_);
    if (!readUrl.empty()) readUrl_ = readUrl;
    if (!origin.IsEmpty()) requester_ = origin.c_str();
  }

 private:
  static const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

  mutable platform::Mutex textMu_;
  std::string writerName_ GUARDED_BY(textMu_);
  std::string requester_ GUARDED_BY(textMu_);
  std::string recordUrl_ GUARDED_BY(textMu_);
  std::string readUrl_ GUARDED_BY(textMu_);
  std::shared_ptr<SvrFrame::CRefusalTally> refusals_ GUARDED_BY(textMu_);
};

}  // namespace kvr::media
#endif  // KVR_MEDIA_KVR_SOURCE_MDL_H_
