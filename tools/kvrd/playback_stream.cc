#include "tools/kvrd/playback_stream.h"

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>

#include <set>

#include "tools/json_text.h"
#include "tools/kvrd/log.h"
#include "tools/kvrd/wall_time.h"

namespace kvrd {
namespace {

platform::Mutex g_live_mu;
std::set<PlaybackStream*>& Live() REQUIRES(g_live_mu) {
  static std::set<PlaybackStream*> live;
  return live;
}

}  // namespace

void PlaybackStream::Start(event_base* base, evhttp_request* request,
                           std::vector<ExportSource> sources, int64_t fromMs, int64_t toMs,
                           std::string gaps) {
  auto* stream = new PlaybackStream(base, request, std::move(gaps));
  evhttp_connection_set_closecb(evhttp_request_get_connection(request), &OnClosed, stream);
  stream->worker_ = std::thread([stream, sources = std::move(sources), fromMs, toMs]() mutable {
    stream->Work(std::move(sources), fromMs, toMs);
  });
}

int PlaybackStream::Active() {
  platform::MutexLock lock(g_live_mu);
  return static_cast<int>(Live().size());
}

void PlaybackStream::StopAll() {
  std::vector<PlaybackStream*> live;
  {
    platform::MutexLock lock(g_live_mu);
    live.assign(Live().begin(), Live().end());
  }
  for (PlaybackStream* stream : live) {
    {
      platform::MutexLock lock(stream->mu_);
      stream->cancelled_ = true;
    }
    stream->room_.notify_all();
    if (stream->worker_.joinable()) stream->worker_.join();
    // Its client went away already: no connection is left to finish it off.
    if (stream->request_ == nullptr) delete stream;
  }
}

PlaybackStream::PlaybackStream(event_base* base, evhttp_request* request, std::string gaps)
    : base_(base), request_(request), gaps_(std::move(gaps)) {
  wake_ = event_new(base_, -1, 0, &OnWake, this);
  platform::MutexLock lock(g_live_mu);
  Live().insert(this);
}

PlaybackStream::~PlaybackStream() {
  if (worker_.joinable()) worker_.join();
  event_free(wake_);
  platform::MutexLock lock(g_live_mu);
  Live().erase(this);
}

void PlaybackStream::Work(std::vector<ExportSource> sources, int64_t fromMs, int64_t toMs) {
  RemuxSink sink;
  sink.begin = [this](int64_t startWallMs) {
    {
      platform::MutexLock lock(mu_);
      began_ = true;
      startWallMs_ = startWallMs;
    }
    event_active(wake_, EV_READ, 0);
  };
  sink.write = [this](const uint8_t* data, int size) {
    {
      platform::MutexLock lock(mu_);
      while (!cancelled_ && queued_ >= kQueueBytes) room_.wait(mu_);
      if (cancelled_) return false;
      chunks_.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
      queued_ += static_cast<size_t>(size);
    }
    event_active(wake_, EV_READ, 0);
    return true;
  };
  std::string error;
  const bool ok = PlayRange(sources, fromMs, toMs, sink, &error);
  {
    platform::MutexLock lock(mu_);
    done_ = true;
    ok_ = ok;
    error_ = error;
  }
  event_active(wake_, EV_READ, 0);
}

void PlaybackStream::OnWake(int, short, void* self) { static_cast<PlaybackStream*>(self)->Pump(); }

void PlaybackStream::OnSent(evhttp_connection*, void* self) {
  auto* stream = static_cast<PlaybackStream*>(self);
  stream->inFlight_ = false;
  stream->Pump();
}

void PlaybackStream::OnClosed(evhttp_connection*, void* self) {
  auto* stream = static_cast<PlaybackStream*>(self);
  // A connection that failed under a reply in progress hands the request
  // over detached, for its owner to free; one freed whole takes it along.
  if (stream->request_ != nullptr && evhttp_request_get_connection(stream->request_) == nullptr) {
    evhttp_request_free(stream->request_);
  }
  stream->request_ = nullptr;
  stream->inFlight_ = false;
  {
    platform::MutexLock lock(stream->mu_);
    stream->cancelled_ = true;
  }
  stream->room_.notify_all();
  stream->Pump();
}

void PlaybackStream::Pump() {
  // Held by hand rather than by a scope: every way out lets go before the
  // reply goes out or the stream deletes itself.
  mu_.lock();
  if (request_ == nullptr) {
    const bool done = done_;
    mu_.unlock();
    if (done) delete this;  // else the worker sees the cancel at its next write
    return;
  }
  evhttp_connection* connection = evhttp_request_get_connection(request_);
  if (!replying_) {
    if (!began_ && !done_) {
      mu_.unlock();
      return;
    }
    if (!began_) {
      const std::string body = "{\"error\": " + kvr::JsonString(error_) + "}\n";
      mu_.unlock();
      evhttp_connection_set_closecb(connection, nullptr, nullptr);
      evhttp_add_header(evhttp_request_get_output_headers(request_), "Content-Type",
                        "application/json");
      evbuffer* out = evbuffer_new();
      evbuffer_add(out, body.data(), body.size());
      evhttp_send_reply(request_, 404, "Not Found", out);
      evbuffer_free(out);
      delete this;
      return;
    }
    evkeyvalq* headers = evhttp_request_get_output_headers(request_);
    evhttp_add_header(headers, "Content-Type", "video/mp4");
    evhttp_add_header(headers, "Cache-Control", "no-store");
    evhttp_add_header(headers, "X-Kvr-Start", IsoTime(startWallMs_).c_str());
    evhttp_add_header(headers, "X-Kvr-Start-Ms", std::to_string(startWallMs_).c_str());
    if (!gaps_.empty()) evhttp_add_header(headers, "X-Kvr-Gaps", gaps_.c_str());
    evhttp_send_reply_start(request_, 200, "OK");
    replying_ = true;
  }
  if (inFlight_) {
    mu_.unlock();
    return;
  }
  if (!chunks_.empty()) {
    evbuffer* out = evbuffer_new();
    for (const std::string& chunk : chunks_) evbuffer_add(out, chunk.data(), chunk.size());
    chunks_.clear();
    queued_ = 0;
    mu_.unlock();
    room_.notify_all();
    inFlight_ = true;
    evhttp_send_reply_chunk_with_cb(request_, out, &OnSent, this);
    evbuffer_free(out);
    return;
  }
  if (!done_) {
    mu_.unlock();
    return;
  }
  if (!ok_) Log(LOG_WARNING, "playback ended early: %s", error_.c_str());
  mu_.unlock();
  evhttp_connection_set_closecb(connection, nullptr, nullptr);
  evhttp_send_reply_end(request_);
  delete this;
}

}  // namespace kvrd
