// The remote stream library: opens a media URL with FFmpeg's libavformat and
// hands the stream to a data callback, remuxed without re-encoding into MPEG
// transport stream packets, so that the bare concatenation of what a caller
// receives is a playable .ts file (video and audio, timestamps kept).
//
// One process-wide instance, never destroyed. Every open stream has its own
// reader thread; both callbacks run on that thread. All public calls are safe
// from any thread except that CloseStream and Cleanup must not be called from
// inside one of the library's callbacks (they would wait for the very thread
// that runs them): such a call is refused with a debug line.
//
// RTSP is pulled over TCP (interleaved) unless the URL says otherwise; user
// and password in the URL are used for authentication. Any other URL that
// libavformat opens (file, HTTP, RTMP, UDP/RTP) works too. A stream that
// MPEG-TS cannot carry is left out with one debug line; the rest is kept.
#ifndef KVR_MEDIA_REMOTE_STREAM_H_
#define KVR_MEDIA_REMOTE_STREAM_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/mutex.h"

namespace kvr::media {

class CRemoteStreamSession;

class CRemoteStreamLib {
 public:
  // Called on the stream's reader thread for each piece of data: whole 188-byte
  // packets, `size` a multiple of 188. The data is valid only during the call.
  // Return value ignored (0).
  using DataCallback = int (*)(uint32_t stream, const uint8_t* data, uint32_t size, void* user);
  // Called once, on the reader thread, when an open stream is lost (read
  // time-out, end or error), after the last data callback of the stream. Not
  // called for a stream closed by CloseStream. The two trailing values are
  // unused (0). It may arrive at any time after OpenStream's reader started,
  // even before the caller has stored the handle that OpenStream returns: a
  // caller that looks the handle up must be ready not to find it yet.
  using DisconnectCallback = void (*)(uint32_t stream, uint32_t, uint32_t);

  static constexpr size_t kMaxUrlLength = 255;
  static constexpr int kDefaultTimeoutMs = 5000;
  static constexpr uint32_t kPacketSize = 188;

  static CRemoteStreamLib& Instance();  // process-wide, never destroyed

  // Sets up libavformat's network layer and routes its warnings and errors to
  // the debug output. `reserved` and `version` are accepted for the callers of
  // the original library and otherwise unused. True on success; idempotent.
  // OpenStream runs it itself when nobody did.
  bool Initialize(int reserved = 0, int version = 5);

  // The callback for every stream lost from now on that was opened without
  // one of its own (null: none). `flag` is kept for the callers of the
  // original library and has no effect.
  void RegisterDisconnectCallback(DisconnectCallback cb, uint8_t flag);
  // The callback registered now (a test calls it as a lost stream would).
  DisconnectCallback GetDisconnectCallback() const { return disconnect_.load(); }

  // Opens `url` (at most 255 characters), blocking until the stream is open,
  // its streams are known and the muxer is ready, or the open time-out ends.
  // Returns a stream handle (never 0, never reused while the stream is open),
  // or 0: null or over-long URL, null callback, open failure or time-out, or
  // no stream that MPEG-TS can carry. `user` is handed back to `cb`. `lost`,
  // when given, is this stream's disconnect callback in place of the
  // registered one, so that a caller with its own streams need not replace
  // the callback every other stream of the process reports to.
  uint32_t OpenStream(const char* url, DataCallback cb, void* user,
                      DisconnectCallback lost = nullptr);

  // Stops the stream's reader and joins it; the muxer's last buffered packets
  // are delivered before. After it returns no callback for `stream` runs.
  // Unknown or 0 handle: nothing. Refused inside a callback (see above).
  void CloseStream(uint32_t stream);

  // Holds the stream back (every packet dropped) or lets it go again, from
  // its next key frame on. A paused record holds its stream back so that the
  // resumed file continues with a picture. Unknown handle: nothing.
  void HoldBack(uint32_t stream, bool hold);

  // Closes every open stream. Refused inside a callback.
  void Cleanup();

  // Time-outs for streams opened from now on: the open time-out bounds
  // OpenStream; a stream silent for the read time-out counts as lost. A value
  // of 0 or less restores the default, 5000 ms.
  void SetTimeouts(int openMs, int readMs);

  // For tests and diagnostics: streams in the table (open or closing).
  size_t OpenCount() const;
  // True on a thread that is running one of the library's callbacks.
  static bool InCallback();

 private:
  CRemoteStreamLib() = default;
  ~CRemoteStreamLib() = default;  // never runs: the instance lives as long as the process

  // Runs `own` or else the registered disconnect callback for `stream`;
  // called by its reader thread.
  void NotifyLost(uint32_t stream, DisconnectCallback own);

  std::once_flag initOnce_;
  std::atomic<DisconnectCallback> disconnect_{nullptr};
  std::atomic<int> openMs_{kDefaultTimeoutMs};
  std::atomic<int> readMs_{kDefaultTimeoutMs};

  // Handle table. A stream stays in it until its reader has been joined, so a
  // handle is never given out again while a callback might still carry it.
  mutable platform::Mutex tableMu_;
  std::map<uint32_t, std::shared_ptr<CRemoteStreamSession>> table_ GUARDED_BY(tableMu_);
  uint32_t nextHandle_ GUARDED_BY(tableMu_) = 1;
};

}  // namespace kvr::media
#endif  // KVR_MEDIA_REMOTE_STREAM_H_
