#include "media/remote_stream.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstring>
#include <vector>

#include "media/remote_stream_session.h"
#include "platform/debug_log.h"

namespace kvr::media {

namespace {

// FFmpeg's warnings and errors go where the service's other diagnostics go.
void LogToDebugOutput(void* context, int level, const char* format, va_list args) {
  if (level > AV_LOG_WARNING) return;
  thread_local int print_prefix = 1;
  char line[1024];
  av_log_format_line2(context, level, format, args, line, sizeof line, &print_prefix);
  size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
  if (n > 0) platform::DebugPrintf("FFmpeg: %s", line);
}

int OrDefault(int ms) { return ms > 0 ? ms : CRemoteStreamLib::kDefaultTimeoutMs; }

}  // namespace

CRemoteStreamLib& CRemoteStreamLib::Instance() {
  static CRemoteStreamLib* const instance = new CRemoteStreamLib();
  return *instance;
}

bool CRemoteStreamLib::Initialize(int /*reserved*/, int /*version*/) {
  std::call_once(initOnce_, [] {
    avformat_network_init();
    av_log_set_callback(&LogToDebugOutput);
  });
  return true;
}

void CRemoteStreamLib::RegisterDisconnectCallback(DisconnectCallback cb, uint8_t /*flag*/) {
  disconnect_.store(cb);
}

void CRemoteStreamLib::SetTimeouts(int openMs, int readMs) {
  openMs_.store(OrDefault(openMs));
  readMs_.store(OrDefault(readMs));
}

bool CRemoteStreamLib::InCallback() { return CRemoteStreamSession::OnReaderThread(); }

size_t CRemoteStreamLib::OpenCount() const {
  platform::MutexLock lock(tableMu_);
  return table_.size();
}

uint32_t CRemoteStreamLib::OpenStream(const char* url, DataCallback cb, void* user,
                                      DisconnectCallback lost) {
  if (url == nullptr || cb == nullptr) {
    platform::DebugOutput("RemoteStream: OpenStream needs a URL and a data callback");
    return 0;
  }
  if (strnlen(url, kMaxUrlLength + 1) > kMaxUrlLength) {
    platform::DebugPrintf("RemoteStream: URL longer than %zu characters refused", kMaxUrlLength);
    return 0;
  }
  Initialize();
  auto session = std::make_shared<CRemoteStreamSession>(cb, user, readMs_.load());
  if (!session->Open(url, openMs_.load())) return 0;

  uint32_t handle;
  {
    platform::MutexLock lock(tableMu_);
    while (nextHandle_ == 0 || table_.count(nextHandle_) != 0) ++nextHandle_;
    handle = nextHandle_++;
    table_.emplace(handle, session);
  }
  if (!session->Start(handle, [this, lost](uint32_t stream) { NotifyLost(stream, lost); })) {
    platform::MutexLock lock(tableMu_);
    table_.erase(handle);
    return 0;
  }
  return handle;
}

void CRemoteStreamLib::HoldBack(uint32_t stream, bool hold) {
  platform::MutexLock lock(tableMu_);
  auto it = table_.find(stream);
  if (it != table_.end()) it->second->HoldBack(hold);
}

void CRemoteStreamLib::CloseStream(uint32_t stream) {
  if (InCallback()) {
    platform::DebugPrintf("RemoteStream: CloseStream(%u) inside a stream callback refused", stream);
    return;
  }
  std::shared_ptr<CRemoteStreamSession> session;
  {
    platform::MutexLock lock(tableMu_);
    auto it = table_.find(stream);
    if (it == table_.end()) return;
    session = it->second;
  }
  // Joined outside the table lock: a reader's callbacks may open or look up
  // other streams meanwhile.
  session->Stop();
  platform::MutexLock lock(tableMu_);
  auto it = table_.find(stream);
  if (it != table_.end() && it->second == session) table_.erase(it);
}

void CRemoteStreamLib::Cleanup() {
  if (InCallback()) {
    platform::DebugOutput("RemoteStream: Cleanup inside a stream callback refused");
    return;
  }
  std::vector<uint32_t> handles;
  {
    platform::MutexLock lock(tableMu_);
    for (const auto& entry : table_) handles.push_back(entry.first);
  }
  for (uint32_t handle : handles) CloseStream(handle);
}

void CRemoteStreamLib::NotifyLost(uint32_t stream, DisconnectCallback own) {
  DisconnectCallback cb = own != nullptr ? own : disconnect_.load();
  if (cb != nullptr) cb(stream, 0, 0);
}

}  // namespace kvr::media
