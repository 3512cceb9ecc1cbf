// One open stream of the remote stream library: the demuxer reading the URL,
// the MPEG-TS muxer writing into memory, and the reader thread between them.
//
// Owned by CRemoteStreamLib's handle table (shared with a closer that is
// joining it). Open runs on the opening thread; from Start on, the FFmpeg
// contexts belong to the reader thread alone, which frees them when the
// stream ends. Stop may be called from any thread but the reader's own, as
// often as wanted; it returns once the reader has been joined.
#ifndef KVR_MEDIA_REMOTE_STREAM_SESSION_H_
#define KVR_MEDIA_REMOTE_STREAM_SESSION_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "media/remote_stream.h"
#include "platform/mutex.h"

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

namespace kvr::media {

class CRemoteStreamSession {
 public:
  CRemoteStreamSession(CRemoteStreamLib::DataCallback cb, void* user, int readMs);
  ~CRemoteStreamSession();  // stops the reader and frees what is left
  CRemoteStreamSession(const CRemoteStreamSession&) = delete;
  CRemoteStreamSession& operator=(const CRemoteStreamSession&) = delete;

  // Opens `url` and prepares the muxer within `openMs`. False (with a debug
  // line) when the URL cannot be opened in time or holds nothing to carry.
  bool Open(const char* url, int openMs);

  // Starts the reader; `lost` runs once on it if the stream ends by itself.
  // False when no thread could be started.
  bool Start(uint32_t handle, std::function<void(uint32_t)> lost);

  void Stop();

  // While held back, every packet is dropped; once let go, the stream starts
  // again with a key frame (audio waits for it too), as it did at the open.
  // Any thread.
  void HoldBack(bool hold);

  // True on any reader thread of the library.
  static bool OnReaderThread();

 private:
  friend struct RemoteStreamHooks;  // FFmpeg's C callbacks, defined with FFmpeg's signatures

  bool ShouldInterrupt() const;
  int OnMuxed(const uint8_t* buf, int size);

  bool OpenOutput();
  void Run();
  // Takes one demuxed packet for the muxer; false when memory ran out.
  bool Forward(AVPacket* pkt);
  // Hands a packet to the muxer (which takes its data); false when memory ran out.
  bool Write(AVPacket* pkt);
  // Makes every video stream wait for its next key frame, and audio for the
  // first picture.
  void ArmKeyWait();
  void Deliver(const uint8_t* data, size_t size);
  // Frees the FFmpeg contexts, giving the server a moment for a goodbye.
  void Release();

  const CRemoteStreamLib::DataCallback cb_;
  void* const user_;
  const uint32_t readMs_;
  uint32_t handle_ = 0;
  std::string logUrl_;  // the URL without credentials, for debug lines
  std::function<void(uint32_t)> lost_;

  // The I/O deadline: FFmpeg gives up once `limitMs_` passed since `since_`.
  // Touched only by the thread doing the I/O (the opener, then the reader).
  uint32_t since_ = 0;
  uint32_t limitMs_ = 0;
  mutable bool timedOut_ = false;  // the deadline passed once: it stays passed
  bool tearingDown_ = false;       // closing the input: a stop no longer interrupts
  std::atomic<bool> stop_{false};

  AVFormatContext* in_ = nullptr;
  AVFormatContext* out_ = nullptr;
  AVIOContext* outIo_ = nullptr;
  bool headerWritten_ = false;
  bool muxErrorLogged_ = false;
  std::vector<int> outIndex_;      // per input stream: output stream, or -1 when left out
  std::vector<int64_t> lastDts_;   // per output stream, in its time base
  std::vector<AVPacket*> held_;    // per output stream: its newest packet, not yet muxed
  std::vector<bool> awaitingKey_;  // per output stream: video before its first key frame
  bool pictureSeen_ = false;       // a key frame was muxed since the last ArmKeyWait
  int64_t pictureAt_ = 0;          // its time stamp, in microseconds
  std::atomic<bool> heldBack_{false};
  std::atomic<bool> rearm_{false};  // held back since the last key-frame wait
  std::vector<uint8_t> carry_;      // muxed bytes not yet delivered (less than a packet, or
                                    // written before the reader started)
  bool delivering_ = false;         // the reader runs: WritePacket may call back

  platform::Mutex joinMu_;
  std::thread reader_ GUARDED_BY(joinMu_);
};

}  // namespace kvr::media
#endif  // KVR_MEDIA_REMOTE_STREAM_SESSION_H_
