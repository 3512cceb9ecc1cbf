// The pushed-media source of a record task: the host holds the device
// connection and pushes the stream's bytes in (the export
// KVR_SetDvConMediaData calls PushMedia), each chunk becoming a media unit
// for the task's record file writer.
//
// The host names the source by a 32-bit handle from a process-wide table:
// never 0 or 0xFFFFFFFF, never reused while its module lives. A handle that
// names no live source is refused and nothing is touched; a lookup keeps the
// source alive until its chunk has been queued, so a source may be destroyed
// while hosts push to it.
//
// Ownership: the storage function module makes it, gives it the writer's
// module name, the requester and the record URL, registers it, enters it in
// the pushed-media source table and tells the host its handle; the command
// dealing module destroys it after the task is removed.
//
// Threads: OnMessage on the delivery threads; PushMedia on any host thread,
// several at once.
#ifndef KVR_MEDIA_KVR_DVCON_COMM_MDL_H_
#define KVR_MEDIA_KVR_DVCON_COMM_MDL_H_

#include <cstdint>
#include <mutex>
#include <string>

#include "media/kvr_source_mdl.h"

class CRecordMedia;

class CKVRDvConCommMdl : public kvr::media::CKVRSourceMdl {
 public:
  static constexpr const char kTypeName[] = "DvCon";

  CKVRDvConCommMdl();
  ~CKVRDvConCommMdl() override;

  // Hands `size` bytes to the source named by `handle`: -1 for null data or a
  // size below 1, else 0 (also when the handle names nothing or the chunk is
  // dropped). The bytes are copied before the call returns.
  static int PushMedia(const void* data, int size, uint32_t handle);

  // Deletes the module; pushes in flight finish first.
  int Destroy() override;
  // "RecRealMedia" readies the source; everything else is ignored. Always 0.
  int OnMessage(const SvrFrame::MessageRef& message) override;
  int Loop() override { return 0; }

  // The handle the host pushes with (never 0).
  uint32_t GetHandle() const { return handle_; }

 private:
  int StartPush(const CRecordMedia& request);
  void Push(const void* data, int size);

  uint32_t handle_ = 0;
};

#endif  // KVR_MEDIA_KVR_DVCON_COMM_MDL_H_
