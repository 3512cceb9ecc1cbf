#include "tools/kvrd/exporter.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <map>

namespace kvrd {
namespace {

constexpr AVRational kMs{1, 1000};

struct Input {
  AVFormatContext* ctx = nullptr;
  int video = -1;
  int64_t firstMs = AV_NOPTS_VALUE;  // the video's first time stamp, in ms
  ~Input() { avformat_close_input(&ctx); }
};

bool OpenInput(const std::string& path, Input* in) {
  if (avformat_open_input(&in->ctx, path.c_str(), nullptr, nullptr) < 0) return false;
  if (avformat_find_stream_info(in->ctx, nullptr) < 0) return false;
  for (unsigned i = 0; i < in->ctx->nb_streams && in->video < 0; ++i) {
    if (in->ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      in->video = static_cast<int>(i);
    }
  }
  return true;
}

// A packet's wall time: the segment's start plus its distance from the first picture.
int64_t WallMs(const Input& in, const SegmentRow& row, const AVPacket* pkt) {
  const int64_t ms = av_rescale_q(pkt->pts, in.ctx->streams[pkt->stream_index]->time_base, kMs);
  return row.startMs + (ms - in.firstMs);
}

// The first time stamp of the pictures (or of anything without pictures).
bool FindFirst(const std::string& path, Input* in) {
  Input scan;
  if (!OpenInput(path, &scan)) return false;
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(scan.ctx, pkt) >= 0) {
    const bool counted = scan.video < 0 || pkt->stream_index == scan.video;
    if (counted && pkt->pts != AV_NOPTS_VALUE) {
      const int64_t ms =
          av_rescale_q(pkt->pts, scan.ctx->streams[pkt->stream_index]->time_base, kMs);
      if (in->firstMs == AV_NOPTS_VALUE || ms < in->firstMs) in->firstMs = ms;
      if (scan.video >= 0) break;  // pictures come in order of presentation near enough
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  return in->firstMs != AV_NOPTS_VALUE;
}

// The wall time of the last key frame at or before `at` (the first key frame
// when none is that early).
int64_t KeyAtOrBefore(const std::string& path, const SegmentRow& row, int64_t firstMs, int64_t at) {
  Input scan;
  scan.firstMs = firstMs;
  int64_t best = INT64_MIN;
  if (!OpenInput(path, &scan)) return best;
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(scan.ctx, pkt) >= 0) {
    if (pkt->stream_index == scan.video && (pkt->flags & AV_PKT_FLAG_KEY) &&
        pkt->pts != AV_NOPTS_VALUE) {
      const int64_t wall = WallMs(scan, row, pkt);
      if (wall <= at || best == INT64_MIN) best = wall;
      if (wall > at) {
        av_packet_unref(pkt);
        break;
      }
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  return best;
}

}  // namespace

bool ExportRange(const std::vector<ExportSource>& sources, int64_t fromMs, int64_t toMs,
                 const std::string& outPath, std::string* error) {
  AVFormatContext* out = nullptr;
  if (avformat_alloc_output_context2(&out, nullptr, "mpegts", outPath.c_str()) < 0) {
    *error = "no MPEG-TS muxer";
    return false;
  }
  std::map<AVMediaType, int> outStream;  // one output stream per kind: video, audio
  std::map<int, int64_t> lastDts;        // per output stream, in ms
  bool headerWritten = false;
  int64_t written = 0;
  bool ok = true;

  for (size_t i = 0; i < sources.size() && ok; ++i) {
    const ExportSource& source = sources[i];
    Input in;
    if (!FindFirst(source.path, &in) || !OpenInput(source.path, &in)) continue;
    // Where this segment's turn ends: where the next one's pictures begin.
    const int64_t until =
        i + 1 < sources.size() ? std::min(toMs, sources[i + 1].row.startMs) : toMs;
    const int64_t begin =
        i == 0 ? KeyAtOrBefore(source.path, source.row, in.firstMs, fromMs) : source.row.startMs;
    if (!headerWritten) {
      for (unsigned s = 0; s < in.ctx->nb_streams; ++s) {
        const AVCodecParameters* par = in.ctx->streams[s]->codecpar;
        if ((par->codec_type != AVMEDIA_TYPE_VIDEO && par->codec_type != AVMEDIA_TYPE_AUDIO) ||
            outStream.count(par->codec_type) != 0) {
          continue;
        }
        AVStream* stream = avformat_new_stream(out, nullptr);
        if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, par) < 0) break;
        stream->codecpar->codec_tag = 0;
        stream->time_base = AVRational{1, 90000};
        outStream[par->codec_type] = stream->index;
      }
      if (avio_open(&out->pb, outPath.c_str(), AVIO_FLAG_WRITE) < 0 ||
          avformat_write_header(out, nullptr) < 0) {
        *error = "cannot write " + outPath;
        ok = false;
        break;
      }
      headerWritten = true;
    }
    bool started = false;  // this segment's first key frame has been written
    AVPacket* pkt = av_packet_alloc();
    while (ok && av_read_frame(in.ctx, pkt) >= 0) {
      const AVMediaType kind = in.ctx->streams[pkt->stream_index]->codecpar->codec_type;
      auto target = outStream.find(kind);
      if (target == outStream.end() || pkt->pts == AV_NOPTS_VALUE) {
        av_packet_unref(pkt);
        continue;
      }
      const int64_t wall = WallMs(in, source.row, pkt);
      if (wall >= until) {
        av_packet_unref(pkt);
        if (kind == AVMEDIA_TYPE_VIDEO || in.video < 0) break;
        continue;
      }
      const bool key = pkt->stream_index == in.video && (pkt->flags & AV_PKT_FLAG_KEY);
      if (!started) {
        if (in.video >= 0 && !(key && wall >= begin)) {
          av_packet_unref(pkt);
          continue;
        }
        started = true;
      } else if (wall < begin) {
        av_packet_unref(pkt);
        continue;
      }
      // The output's clock is the wall clock from the range start (plus a
      // second, so that decode stamps ahead of the first picture stay positive).
      const AVRational base = in.ctx->streams[pkt->stream_index]->time_base;
      const int64_t delta = pkt->dts != AV_NOPTS_VALUE ? pkt->pts - pkt->dts : 0;
      const int64_t ptsOut = av_rescale_q(wall - fromMs, kMs, AVRational{1, 90000}) + 90000;
      const int o = target->second;
      AVPacket* copy = av_packet_clone(pkt);
      copy->stream_index = o;
      copy->pts = ptsOut;
      copy->dts = ptsOut - av_rescale_q(delta, base, AVRational{1, 90000});
      copy->duration = av_rescale_q(pkt->duration, base, AVRational{1, 90000});
      copy->pos = -1;
      auto last = lastDts.find(o);
      if (last != lastDts.end() && copy->dts <= last->second) {
        av_packet_free(&copy);
        av_packet_unref(pkt);
        continue;
      }
      lastDts[o] = copy->dts;
      if (av_interleaved_write_frame(out, copy) < 0) {
        *error = "writing the export failed";
        ok = false;
      }
      ++written;
      av_packet_free(&copy);
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
  }
  if (headerWritten) av_write_trailer(out);
  if (out->pb != nullptr) avio_closep(&out->pb);
  avformat_free_context(out);
  if (ok && written == 0) {
    *error = "no footage in the range";
    return false;
  }
  return ok;
}

}  // namespace kvrd
