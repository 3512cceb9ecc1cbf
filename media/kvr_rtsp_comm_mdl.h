// The RTSP pull source of a record task: opens the record's media URL through
// the remote stream library and sends every piece of stream data to the
// task's record file writer as a media unit.
//
// Ownership: the storage function module makes it, gives it the writer's
// module name, the requester and the record URL, registers it and enters it
// in the RTSP source table; the command dealing module destroys it after the
// task is removed. It never reconnects: a stream that fails to open ends the
// record (control 0 to the writer), and a stream the library reports lost
// raises event 5 to the writer, then control 0.
//
// Threads: OnMessage runs on the command dealing module's delivery threads
// and returns at once: the open (up to the open time-out) runs on an opener
// thread of the source's own, which then sends the outcome (control 0 to the
// writer on failure, the start reply to the requester), and a stop's close
// (which joins the reader) on a closer thread of its own. A stop that comes
// while the open is still in progress is carried out by the opener as soon
// as the open returns. Destroy joins both threads. The library's reader
// thread runs the data and disconnect callbacks; they read only the writer
// name and record URL (under a small lock) and send units. The stream is
// never closed inside a callback.
#ifndef KVR_MEDIA_KVR_RTSP_COMM_MDL_H_
#define KVR_MEDIA_KVR_RTSP_COMM_MDL_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "media/kvr_source_mdl.h"
#include "platform/mutex.h"

class CRecordMedia;

class CKVRRTSPCommMdl : public kvr::media::CKVRSourceMdl {
 public:
  static constexpr const char kTypeName[] = "RTSP";
  // The media URL used when a start request names none but addresses a
  // device: destination address and port, device address, port and channel.
  static constexpr const char kDeviceUrlFormat[] = "rtsp://%s:%d/RealMedia?ObjectID=%s:%d@%d";

  CKVRRTSPCommMdl();
  ~CKVRRTSPCommMdl() override;

  // Initialises the remote stream library and registers the disconnect
  // callback, once per process; later calls do nothing. The first pulled
  // record runs it; the service may run it earlier. True when the library is
  // usable.
  static bool SetupRemoteStreams();

  // Closes the stream if one is open, then deletes the module.
  int Destroy() override;
  // "RecRealMedia" opens the stream; "RecRealMediaControl" with "ctrlInfo" 3
  // closes it. Everything else is ignored. Always 0.
  int OnMessage(const SvrFrame::MessageRef& message) override;
  int Loop() override { return 0; }

  // ---- Any thread ----
  // The open stream's handle; 0 before the start, after a failed open and
  // after a stop. A lost stream keeps its handle.
  uint32_t GetStreamHandle() const { return stream_.load(); }

 private:
  // Starts the opener; 0 when the record failed at once, else 1.
  int StartPull(const CRecordMedia& request);
  // The opener's body: opens, then reports the outcome.
  void OpenStream(const std::string& readUrl, const std::string& recordUrl);
  // Hands an open stream to the closer thread; an open in progress closes
  // its stream once it returns.
  void RequestClose();
  // Closes the stream on the calling thread (Destroy's last resort).
  void CloseStream();
  void OnStreamLost();

  static int OnStreamData(uint32_t stream, const uint8_t* data, uint32_t size, void* user);
  static void OnStreamDisconnect(uint32_t stream, uint32_t, uint32_t);

  // Runs `task` on a thread of its own that the module outlives; called with
  // streamMu_ held. False when no thread could be made (the task did not run).
  bool RunAside(std::function<void()> task) REQUIRES(streamMu_);

  std::atomic<bool> started_{false};
  platform::Mutex streamMu_;  // the handle's hand-overs, the helper count, the close flag
  std::condition_variable_any helpersDone_;
  std::atomic<uint32_t> stream_{0};
  bool closeAsked_ GUARDED_BY(streamMu_) = false;
  // Opener and closer threads still running. They are detached rather than
  // joined, so that one that has finished is not held until the module goes
  // (a module lives on for a grace time after its record), and the
  // destructor waits for the count to reach 0 instead.
  int helpers_ GUARDED_BY(streamMu_) = 0;
};

#endif  // KVR_MEDIA_KVR_RTSP_COMM_MDL_H_
