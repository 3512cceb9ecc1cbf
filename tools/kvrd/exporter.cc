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

// The AudioSpecificConfig an MP4 needs and an MPEG-TS stream does not carry
// out of band: the object type, the rate's index and the channels.
void AddAacConfig(AVCodecParameters* par) {
  if (par->codec_id != AV_CODEC_ID_AAC || par->extradata_size > 0) return;
  static constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};
  int rate = 15;
  for (int i = 0; i < 13; ++i) {
    if (kRates[i] == par->sample_rate) rate = i;
  }
  const int object = par->profile >= 0 ? par->profile + 1 : 2;  // AAC LC when unknown
  const int channels = par->ch_layout.nb_channels;
  if (rate == 15 || channels <= 0 || channels > 7) return;
  par->extradata = static_cast<uint8_t*>(av_mallocz(2 + AV_INPUT_BUFFER_PADDING_SIZE));
  if (par->extradata == nullptr) return;
  par->extradata[0] = static_cast<uint8_t>(object << 3 | rate >> 1);
  par->extradata[1] = static_cast<uint8_t>((rate & 1) << 7 | channels << 3);
  par->extradata_size = 2;
}

int WriteToSink(void* opaque, uint8_t* data, int size) {
  const RemuxSink* sink = static_cast<const RemuxSink*>(opaque);
  return sink->write(data, size) ? size : AVERROR_EXIT;
}

// Where the remux goes: a file (the export) or a sink (playback).
struct Target {
  const char* format;
  const char* options;  // muxer options as key=value:key=value
  bool collapseGaps;    // the clock skips what the segments do not cover
  std::string path;
  const RemuxSink* sink = nullptr;
};

bool Remux(const std::vector<ExportSource>& sources, int64_t fromMs, int64_t toMs,
           const Target& target, std::string* error) {
  AVFormatContext* out = nullptr;
  if (avformat_alloc_output_context2(&out, nullptr, target.format,
                                     target.sink ? nullptr : target.path.c_str()) < 0) {
    *error = std::string("no ") + target.format + " muxer";
    return false;
  }
  AVDictionary* options = nullptr;
  av_dict_parse_string(&options, target.options, "=", ":", 0);
  std::map<AVMediaType, int> outStream;  // one output stream per kind: video, audio
  std::map<int, int64_t> lastDts;        // per output stream, in ms
  bool headerWritten = false;
  int64_t written = 0;
  int64_t origin = 0;   // the wall time at the output's zero
  int64_t skipped = 0;  // gap time taken out of the output's clock
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
    if (i > 0 && target.collapseGaps &&
        source.row.startMs - sources[i - 1].row.endMs > kGapToleranceMs) {
      skipped += source.row.startMs - sources[i - 1].row.endMs;
    }
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
        if (target.sink != nullptr) AddAacConfig(stream->codecpar);
        stream->time_base = AVRational{1, 90000};
        outStream[par->codec_type] = stream->index;
      }
      origin = target.collapseGaps ? begin : fromMs - 1000;
      if (target.sink != nullptr) {
        constexpr int kBufferSize = 64 << 10;
        auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
        out->pb = buffer != nullptr ? avio_alloc_context(buffer, kBufferSize, 1,
                                                         const_cast<RemuxSink*>(target.sink),
                                                         nullptr, &WriteToSink, nullptr)
                                    : nullptr;
        if (out->pb == nullptr) av_free(buffer);
        out->flags |= AVFMT_FLAG_CUSTOM_IO;
        if (out->pb != nullptr && target.sink->begin) target.sink->begin(begin);
      } else if (avio_open(&out->pb, target.path.c_str(), AVIO_FLAG_WRITE) < 0) {
        out->pb = nullptr;
      }
      if (out->pb == nullptr || avformat_write_header(out, &options) < 0) {
        *error = target.sink != nullptr ? "cannot start the stream" : "cannot write " + target.path;
        ok = false;
        break;
      }
      headerWritten = true;
    }
    // Writes a mapped packet unless it goes back in time (the overlap of two
    // segments); takes it.
    auto write = [&](AVPacket* copy) {
      const int o = copy->stream_index;
      auto last = lastDts.find(o);
      if (last == lastDts.end() || copy->dts > last->second) {
        lastDts[o] = copy->dts;
        // A muxer may have chosen its own time base when it wrote the header.
        av_packet_rescale_ts(copy, AVRational{1, 90000}, out->streams[o]->time_base);
        const int wrote = av_interleaved_write_frame(out, copy);
        if (wrote < 0) {
          char why[AV_ERROR_MAX_STRING_SIZE] = "";
          av_strerror(wrote, why, sizeof why);
          *error = wrote == AVERROR_EXIT ? "the reader went away"
                                         : std::string("writing failed: ") + why;
          ok = false;
        }
        ++written;
      }
      av_packet_free(&copy);
    };
    // A file's last picture may have been cut short when its record stopped:
    // each picture waits for the next, and the one the file ends on is left
    // to the next segment, which overlaps it.
    AVPacket* pending = nullptr;
    bool ended = false;
    bool started = false;  // this segment's first key frame has been written
    AVPacket* pkt = av_packet_alloc();
    while (ok) {
      if (av_read_frame(in.ctx, pkt) < 0) {
        ended = true;
        break;
      }
      const AVMediaType kind = in.ctx->streams[pkt->stream_index]->codecpar->codec_type;
      auto stream = outStream.find(kind);
      if (stream == outStream.end() || pkt->pts == AV_NOPTS_VALUE) {
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
      // The export's clock is the wall clock from a second before the range
      // start, so that decode stamps ahead of the first picture stay
      // positive; playback's starts at its first key frame.
      const AVRational base = in.ctx->streams[pkt->stream_index]->time_base;
      const int64_t delta = pkt->dts != AV_NOPTS_VALUE ? pkt->pts - pkt->dts : 0;
      const int64_t ptsOut = av_rescale_q(wall - origin - skipped, kMs, AVRational{1, 90000});
      AVPacket* copy = av_packet_clone(pkt);
      av_packet_unref(pkt);
      copy->stream_index = stream->second;
      copy->pts = ptsOut;
      copy->dts = ptsOut - av_rescale_q(delta, base, AVRational{1, 90000});
      copy->duration = av_rescale_q(copy->duration, base, AVRational{1, 90000});
      copy->pos = -1;
      const uint8_t* d = copy->data;
      const bool adts =
          kind == AVMEDIA_TYPE_AUDIO && copy->size > 9 && d[0] == 0xff && (d[1] & 0xf0) == 0xf0;
      // An AAC frame whose ADTS length disagrees with its size was cut short.
      if (adts && ((d[3] & 3) << 11 | d[4] << 3 | d[5] >> 5) != copy->size) {
        av_packet_free(&copy);
        continue;
      }
      // MP4 carries raw AAC frames, their configuration in its header.
      if (adts && target.sink != nullptr) {
        const int header = (d[1] & 1) ? 7 : 9;  // without or with a CRC
        copy->data += header;
        copy->size -= header;
      }
      if (kind != AVMEDIA_TYPE_VIDEO) {
        write(copy);
        continue;
      }
      if (pending != nullptr) write(pending);
      pending = copy;
    }
    if (pending != nullptr) {
      if (ended && (i + 1 < sources.size() || source.row.open)) {
        av_packet_free(&pending);
      } else {
        write(pending);
      }
    }
    av_packet_free(&pkt);
  }
  if (headerWritten && av_write_trailer(out) < 0 && ok) {
    *error = "the stream could not be finished";
    ok = false;
  }
  if (target.sink != nullptr) {
    if (out->pb != nullptr) av_freep(&out->pb->buffer);
    avio_context_free(&out->pb);
  } else if (out->pb != nullptr) {
    avio_closep(&out->pb);
  }
  avformat_free_context(out);
  av_dict_free(&options);
  if (ok && written == 0) {
    *error = "no footage in the range";
    return false;
  }
  return ok;
}

}  // namespace

bool ExportRange(const std::vector<ExportSource>& sources, int64_t fromMs, int64_t toMs,
                 const std::string& outPath, std::string* error) {
  return Remux(sources, fromMs, toMs, {"mpegts", "", false, outPath}, error);
}

bool PlayRange(const std::vector<ExportSource>& sources, int64_t fromMs, int64_t toMs,
               const RemuxSink& sink, std::string* error) {
  // A fragment per key frame, its moov up front with no samples, and offsets
  // relative to each fragment: what a browser's progressive player reads as
  // it arrives.
  Target target{"mp4", "movflags=frag_keyframe+empty_moov+default_base_moof", true, "", &sink};
  return Remux(sources, fromMs, toMs, target, error);
}

}  // namespace kvrd
