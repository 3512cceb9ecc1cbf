// One playback reply: a worker thread remuxes the range into fragmented MP4
// (exporter.h) and hands the bytes over a bounded queue to the API's event
// loop, which sends each as an HTTP chunk and takes the next only once the
// connection has written the last out. Memory stays at the queue's bound
// whatever the range's length, and the loop never waits on the remux.
//
// Made by the HttpApi on its event thread and owned by itself from then on:
// it deletes itself on the event thread once the reply has ended or the
// client went away and the worker has finished. The worker touches only the
// queue (under mu_) and wakes the loop through a libevent event.
#ifndef KVR_TOOLS_KVRD_PLAYBACK_STREAM_H_
#define KVR_TOOLS_KVRD_PLAYBACK_STREAM_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "tools/kvrd/exporter.h"

struct event;
struct event_base;
struct evhttp_connection;
struct evhttp_request;

namespace kvrd {

class PlaybackStream {
 public:
  // Bytes the worker may queue ahead of the socket.
  static constexpr size_t kQueueBytes = 1 << 20;

  // Starts streaming `sources` over [fromMs, toMs) as the reply to `request`;
  // `gaps` is the X-Kvr-Gaps header's value (empty: none).
  static void Start(event_base* base, evhttp_request* request, std::vector<ExportSource> sources,
                    int64_t fromMs, int64_t toMs, std::string gaps);

  // Streams in flight (any thread), for the metrics.
  static int Active();
  // Once the event loop has stopped: ends every worker, so that freeing the
  // HTTP server (which closes their connections) finishes them off.
  static void StopAll();

 private:
  PlaybackStream(event_base* base, evhttp_request* request, std::string gaps);
  ~PlaybackStream();

  void Work(std::vector<ExportSource> sources, int64_t fromMs, int64_t toMs);
  // Event thread: moves what the worker produced on to the connection.
  void Pump();
  static void OnWake(int, short, void* self);
  static void OnSent(evhttp_connection*, void* self);
  static void OnClosed(evhttp_connection*, void* self);

  event_base* const base_;
  evhttp_request* request_;  // event thread; null once the client went away
  const std::string gaps_;
  event* wake_ = nullptr;
  bool replying_ = false;  // event thread: the reply's head is out
  bool inFlight_ = false;  // event thread: a chunk is being written

  platform::Mutex mu_;
  std::condition_variable_any room_;
  std::deque<std::string> chunks_ GUARDED_BY(mu_);
  size_t queued_ GUARDED_BY(mu_) = 0;   // bytes in chunks_
  bool began_ GUARDED_BY(mu_) = false;  // the start time is known
  int64_t startWallMs_ GUARDED_BY(mu_) = 0;
  bool done_ GUARDED_BY(mu_) = false;  // the worker has finished
  bool ok_ GUARDED_BY(mu_) = false;
  std::string error_ GUARDED_BY(mu_);
  bool cancelled_ GUARDED_BY(mu_) = false;
  std::thread worker_;
};

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_PLAYBACK_STREAM_H_
