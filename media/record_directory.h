// The two look-ups of the storage data that the RTSP source's disconnect
// callback needs: which source owns a stream handle, and whether a record is
// still in the task table.
//
// The storage data implements the interface and installs itself once with
// SetRecordDirectory; null (the default) means "no sources, no tasks", so a
// stream lost before the service has storage data raises nothing. The
// installed object is not owned here and must outlive every open stream.
// Get and Set are safe from any thread; the implementation's calls come from
// the remote stream library's reader threads, so the implementation must not
// hold the lock these calls take while it destroys a source (destroying one
// joins its reader, which may be waiting in this very look-up).
#ifndef KVR_MEDIA_RECORD_DIRECTORY_H_
#define KVR_MEDIA_RECORD_DIRECTORY_H_

#include <cstdint>

class CKVRRTSPCommMdl;

namespace kvr::media {

class IRecordDirectory {
 public:
  virtual ~IRecordDirectory() = default;

  // The RTSP source whose open stream handle is `stream`, or null. The source
  // stays alive while the callback that asked runs on that stream's reader:
  // a source closes (and joins) its stream before it is destroyed.
  virtual CKVRRTSPCommMdl* FindRtspSourceByStream(uint32_t stream) = 0;
  // Whether the task table holds a task under `recordUrl` (null: false).
  virtual bool HasTask(const char* recordUrl) = 0;
};

// Installs the process-wide directory (null uninstalls).
void SetRecordDirectory(IRecordDirectory* directory);
IRecordDirectory* GetRecordDirectory();

}  // namespace kvr::media

#endif  // KVR_MEDIA_RECORD_DIRECTORY_H_
