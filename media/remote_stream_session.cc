#include "media/remote_stream_session.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/error.h>
}

#include <cstring>
#include <utility>

#include "platform/debug_log.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace kvr::media {

namespace {

constexpr uint32_t kTs = CRemoteStreamLib::kPacketSize;
// The muxer's output buffer: 64 transport packets (about 12 KB) per data
// callback keeps the callbacks few while a second of a small camera stream
// still leaves in several pieces.
constexpr int kOutputBuffer = 64 * kTs;
// Enough to learn the streams of a live camera (its SDP already names them)
// without waiting seconds for the analysis.
constexpr int64_t kProbeBytes = 256 * 1024;
constexpr int64_t kAnalyzeMicroseconds = 1000000;
// Time allowed to say goodbye to the server (RTSP TEARDOWN) when closing.
constexpr uint32_t kTeardownMs = 300;

thread_local bool t_reader = false;

// The codecs that an MPEG-TS reader recognises by the stream type the muxer
// writes for them. Anything else would go out as private data that players
// skip, so it is left out instead.
bool TsCarries(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
    case AV_CODEC_ID_MPEG4:
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_HEVC:
    case AV_CODEC_ID_CAVS:
    case AV_CODEC_ID_DIRAC:
    case AV_CODEC_ID_VC1:
    case AV_CODEC_ID_MP2:
    case AV_CODEC_ID_MP3:
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_AAC_LATM:
    case AV_CODEC_ID_AC3:
    case AV_CODEC_ID_EAC3:
    case AV_CODEC_ID_DTS:
    case AV_CODEC_ID_TRUEHD:
    case AV_CODEC_ID_OPUS:
    case AV_CODEC_ID_DVB_SUBTITLE:
    case AV_CODEC_ID_DVB_TELETEXT:
    case AV_CODEC_ID_SMPTE_KLV:
      return true;
    default:
      return false;
  }
}

bool IsRtsp(const char* url) {
  return strncasecmp(url, "rtsp://", 7) == 0 || strncasecmp(url, "rtsps://", 8) == 0;
}

// The URL as debug lines may show it: a password never reaches the log.
std::string WithoutCredentials(const char* url) {
  std::string text(url);
  size_t scheme = text.find("://");
  if (scheme == std::string::npos) return text;
  size_t host = scheme + 3;
  size_t path = text.find('/', host);
  size_t at = text.rfind('@', path == std::string::npos ? text.size() : path);
  if (at == std::string::npos || at < host) return text;
  return text.substr(0, host) + "***@" + text.substr(at + 1);
}

std::string ErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

}  // namespace

struct RemoteStreamHooks {
  // FFmpeg 61 made the bytes handed to a write callback const.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
  using MuxedBytes = const uint8_t*;
#else
  using MuxedBytes = uint8_t*;
#endif

  static int Interrupt(void* opaque) {
    return static_cast<const CRemoteStreamSession*>(opaque)->ShouldInterrupt() ? 1 : 0;
  }
  static int WritePacket(void* opaque, MuxedBytes buf, int size) {
    return static_cast<CRemoteStreamSession*>(opaque)->OnMuxed(buf, size);
  }
};

CRemoteStreamSession::CRemoteStreamSession(CRemoteStreamLib::DataCallback cb, void* user,
                                           int readMs)
    : cb_(cb), user_(user), readMs_(static_cast<uint32_t>(readMs)) {}

CRemoteStreamSession::~CRemoteStreamSession() {
  Stop();
  Release();
}

bool CRemoteStreamSession::OnReaderThread() { return t_reader; }

bool CRemoteStreamSession::ShouldInterrupt() const {
  if (!tearingDown_ && stop_.load(std::memory_order_relaxed)) return true;
  if (!platform::TicksElapsed(since_, platform::TickCount(), limitMs_)) return false;
  timedOut_ = true;
  return true;
}

bool CRemoteStreamSession::Open(const char* url, int openMs) {
  logUrl_ = WithoutCredentials(url);
  since_ = platform::TickCount();
  limitMs_ = static_cast<uint32_t>(openMs);

  in_ = avformat_alloc_context();
  if (in_ == nullptr) return false;
  in_->interrupt_callback.callback = &RemoteStreamHooks::Interrupt;
  in_->interrupt_callback.opaque = this;
  in_->probesize = kProbeBytes;
  in_->max_analyze_duration = kAnalyzeMicroseconds;
  in_->fps_probe_size = 0;

  AVDictionary* options = nullptr;
  if (IsRtsp(url)) av_dict_set(&options, "rtsp_transport", "tcp", 0);
  int r = avformat_open_input(&in_, url, nullptr, &options);  // frees in_ on failure
  av_dict_free(&options);
  if (r < 0) {
    platform::DebugPrintf("RemoteStream: cannot open %s: %s", logUrl_.c_str(),
                          timedOut_ ? "no answer in time" : ErrorText(r).c_str());
    return false;
  }
  // An RTSP server's description already names every stream's codec and its
  // set-up data, which is all a remux needs: analysing the first frames would
  // only cost a decoder per stream and the wait for a key frame.
  bool described = IsRtsp(url) && in_->nb_streams > 0;
  for (unsigned i = 0; described && i < in_->nb_streams; ++i) {
    described = in_->streams[i]->codecpar->codec_id != AV_CODEC_ID_NONE;
  }
  r = described ? 0 : avformat_find_stream_info(in_, nullptr);
  if (r < 0) {
    platform::DebugPrintf("RemoteStream: no stream information from %s: %s", logUrl_.c_str(),
                          ErrorText(r).c_str());
    return false;
  }
  return OpenOutput();
}

bool CRemoteStreamSession::OpenOutput() {
  if (avformat_alloc_output_context2(&out_, nullptr, "mpegts", nullptr) < 0) return false;
  outIndex_.assign(in_->nb_streams, -1);
  for (unsigned i = 0; i < in_->nb_streams; ++i) {
    const AVCodecParameters* par = in_->streams[i]->codecpar;
    if (!TsCarries(par->codec_id)) {
      platform::DebugPrintf(
          "RemoteStream: %s stream %u (%s %s) cannot be carried in MPEG-TS, left out",
          logUrl_.c_str(), i,
          av_get_media_type_string(par->codec_type) ? av_get_media_type_string(par->codec_type)
                                                    : "unknown",
          avcodec_get_name(par->codec_id));
      continue;
    }
    AVStream* out = avformat_new_stream(out_, nullptr);
    if (out == nullptr || avcodec_parameters_copy(out->codecpar, par) < 0) return false;
    out->codecpar->codec_tag = 0;
    out->time_base = in_->streams[i]->time_base;
    outIndex_[i] = out->index;
  }
  if (out_->nb_streams == 0) {
    platform::DebugPrintf("RemoteStream: %s has no stream that MPEG-TS can carry", logUrl_.c_str());
    return false;
  }
  lastDts_.assign(out_->nb_streams, AV_NOPTS_VALUE);
  held_.assign(out_->nb_streams, nullptr);
  ArmKeyWait();

  auto* buffer = static_cast<unsigned char*>(av_malloc(kOutputBuffer));
  if (buffer == nullptr) return false;
  outIo_ = avio_alloc_context(buffer, kOutputBuffer, 1, this, nullptr,
                              &RemoteStreamHooks::WritePacket, nullptr);
  if (outIo_ == nullptr) {
    av_free(buffer);
    return false;
  }
  out_->pb = outIo_;
  // Output leaves when the buffer is full, not after every packet: fewer,
  // larger callbacks, still whole transport packets.
  out_->flush_packets = 0;
  int r = avformat_write_header(out_, nullptr);
  if (r < 0) {
    platform::DebugPrintf("RemoteStream: MPEG-TS muxer refused %s: %s", logUrl_.c_str(),
                          ErrorText(r).c_str());
    return false;
  }
  headerWritten_ = true;
  return true;
}

bool CRemoteStreamSession::Start(uint32_t handle, std::function<void(uint32_t)> lost) {
  handle_ = handle;
  lost_ = std::move(lost);
  platform::MutexLock lock(joinMu_);
  try {
    reader_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    platform::DebugPrintf("RemoteStream: no reader thread for %s", logUrl_.c_str());
    return false;
  }
  return true;
}

void CRemoteStreamSession::ArmKeyWait() {
  awaitingKey_.assign(out_->nb_streams, false);
  pictureSeen_ = true;
  pictureAt_ = INT64_MIN;
  for (unsigned o = 0; o < out_->nb_streams; ++o) {
    if (out_->streams[o]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    awaitingKey_[o] = true;
    pictureSeen_ = false;
  }
}

void CRemoteStreamSession::HoldBack(bool hold) {
  if (hold) rearm_.store(true, std::memory_order_relaxed);
  heldBack_.store(hold, std::memory_order_relaxed);
}

void CRemoteStreamSession::Stop() {
  stop_.store(true, std::memory_order_relaxed);
  platform::MutexLock lock(joinMu_);
  if (reader_.joinable()) reader_.join();
}

void CRemoteStreamSession::Run() {
  t_reader = true;
  delivering_ = true;
  if (!carry_.empty()) OnMuxed(nullptr, 0);  // what the header wrote, if anything

  AVPacket* pkt = av_packet_alloc();
  int error = pkt != nullptr ? 0 : AVERROR(ENOMEM);
  since_ = platform::TickCount();
  limitMs_ = readMs_;
  while (error == 0 && !stop_.load(std::memory_order_relaxed)) {
    int r = av_read_frame(in_, pkt);
    if (r == AVERROR(EAGAIN)) {
      if (ShouldInterrupt()) error = AVERROR_EXIT;
      platform::SleepMs(5);
      continue;
    }
    if (r < 0) {
      error = r;
      break;
    }
    // A packet after a time-out is one the parser still held, not a sign of
    // life: the next read must fail at once instead of waiting again.
    if (!timedOut_) since_ = platform::TickCount();
    if (!Forward(pkt)) error = AVERROR(ENOMEM);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);

  // When a live input ends, however it ends, the demuxer hands out the frame
  // it was assembling: cut short, it would end the record with a picture that
  // does not decode. The end of a file is whole.
  const bool live = in_->pb == nullptr || !(in_->pb->seekable & AVIO_SEEKABLE_NORMAL);
  for (AVPacket*& last : held_) {
    if (last != nullptr && !live) Write(last);
    av_packet_free(&last);
  }
  // The muxer still holds packets waiting for interleaving and a partly
  // filled buffer: they are the last seconds of the record.
  if (headerWritten_) {
    av_write_trailer(out_);
    headerWritten_ = false;
  }
  const bool lost = !stop_.load(std::memory_order_relaxed);
  if (lost) {
    platform::DebugPrintf(
        "RemoteStream: stream %u from %s lost: %s", handle_, logUrl_.c_str(),
        error == AVERROR_EXIT ? "nothing received in time" : ErrorText(error).c_str());
    if (lost_) lost_(handle_);
  }
  delivering_ = false;
  Release();
}

bool CRemoteStreamSession::Forward(AVPacket* pkt) {
  const int in_index = pkt->stream_index;
  // Streams that appear after the open (possible with some inputs) were not
  // announced to the muxer and cannot join later.
  if (in_index < 0 || static_cast<size_t>(in_index) >= outIndex_.size()) return true;
  const int o = outIndex_[static_cast<size_t>(in_index)];
  if (o < 0) return true;
  // A packet without time stamps cannot be muxed. It is dropped before the
  // key-frame wait looks at it: the RTSP demuxer flags such a packet as key,
  // and letting it end the wait would open the record with frames that
  // cannot be decoded.
  if (pkt->size == 0 || (pkt->pts == AV_NOPTS_VALUE && pkt->dts == AV_NOPTS_VALUE)) return true;
  if (heldBack_.load(std::memory_order_relaxed)) return true;
  if (rearm_.exchange(false, std::memory_order_relaxed)) ArmKeyWait();
  if (awaitingKey_[o]) {
    // Frames before the first key frame cannot be decoded; a record starts
    // with a picture.
    if (!(pkt->flags & AV_PKT_FLAG_KEY)) return true;
    awaitingKey_[o] = false;
  }
  // Audio before the first picture would play over nothing: audio waits for
  // it and then starts no earlier than it, since the muxer orders by time and
  // would put an earlier sound ahead of the picture.
  const AVRational base = in_->streams[in_index]->time_base;
  const int64_t stamp = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
  if (out_->streams[o]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (!pictureSeen_) {
      pictureSeen_ = true;
      pictureAt_ = av_rescale_q(stamp, base, AV_TIME_BASE_Q);
    }
  } else if (!pictureSeen_ || av_compare_ts(stamp, base, pictureAt_, AV_TIME_BASE_Q) < 0) {
    return true;
  }
  if (pkt->dts == AV_NOPTS_VALUE) pkt->dts = pkt->pts;
  if (pkt->pts == AV_NOPTS_VALUE) pkt->pts = pkt->dts;
  av_packet_rescale_ts(pkt, in_->streams[in_index]->time_base, out_->streams[o]->time_base);
  // The muxer refuses a time stamp that goes back; a source that jumps back
  // loses the packets up to where it was, not the whole record.
  if (lastDts_[o] != AV_NOPTS_VALUE && pkt->dts <= lastDts_[o]) return true;
  if (pkt->pts < pkt->dts) return true;
  lastDts_[o] = pkt->dts;
  pkt->stream_index = o;
  pkt->pos = -1;
  // Each stream's newest packet waits for the next one (see Run).
  if (held_[o] == nullptr && (held_[o] = av_packet_alloc()) == nullptr) return false;
  if (held_[o]->size > 0 && !Write(held_[o])) return false;
  av_packet_move_ref(held_[o], pkt);
  return true;
}

bool CRemoteStreamSession::Write(AVPacket* pkt) {
  int r = av_interleaved_write_frame(out_, pkt);
  av_packet_unref(pkt);
  if (r == AVERROR(ENOMEM)) return false;
  // Our output never fails, so anything else is about this packet's data:
  // it is lost, the stream goes on.
  if (r < 0 && !muxErrorLogged_) {
    muxErrorLogged_ = true;
    platform::DebugPrintf("RemoteStream: MPEG-TS muxer dropped a packet of %s: %s", logUrl_.c_str(),
                          ErrorText(r).c_str());
  }
  return true;
}

int CRemoteStreamSession::OnMuxed(const uint8_t* buf, int size) {
  const size_t n = size > 0 ? static_cast<size_t>(size) : 0;
  if (delivering_ && carry_.empty() && n % kTs == 0) {
    Deliver(buf, n);
    return size;
  }
  if (n > 0) carry_.insert(carry_.end(), buf, buf + n);
  if (delivering_) {
    const size_t whole = carry_.size() - carry_.size() % kTs;
    Deliver(carry_.data(), whole);
    carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(whole));
  }
  return size;
}

void CRemoteStreamSession::Deliver(const uint8_t* data, size_t size) {
  if (size == 0) return;
  cb_(handle_, data, static_cast<uint32_t>(size), user_);
}

void CRemoteStreamSession::Release() {
  since_ = platform::TickCount();
  limitMs_ = kTeardownMs;
  tearingDown_ = true;
  if (out_ != nullptr) {
    if (headerWritten_) av_write_trailer(out_);  // never delivered: the reader did not run
    headerWritten_ = false;
    avformat_free_context(out_);
    out_ = nullptr;
  }
  if (outIo_ != nullptr) {
    av_freep(&outIo_->buffer);
    avio_context_free(&outIo_);
  }
  for (AVPacket*& last : held_) av_packet_free(&last);
  if (in_ != nullptr) avformat_close_input(&in_);
}

}  // namespace kvr::media
