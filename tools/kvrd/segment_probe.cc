#include "tools/kvrd/segment_probe.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <filesystem>

namespace kvrd {

SegmentFacts ProbeSegment(const std::string& path) {
  SegmentFacts facts;
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) return facts;
  facts.bytes = static_cast<int64_t>(size);
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return facts;
  facts.readable = true;
  // The time line is the pictures' when there are any, so that sound that
  // runs on a moment longer does not stretch a segment.
  int video = -1;
  for (unsigned i = 0; i < in->nb_streams && video < 0; ++i) {
    if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) video = static_cast<int>(i);
  }
  int64_t first = AV_NOPTS_VALUE, last = AV_NOPTS_VALUE;
  AVPacket* pkt = av_packet_alloc();
  while (pkt != nullptr && av_read_frame(in, pkt) >= 0) {
    const bool counted = video < 0 || pkt->stream_index == video;
    if (counted && pkt->pts != AV_NOPTS_VALUE) {
      const AVRational base = in->streams[pkt->stream_index]->time_base;
      const int64_t at = av_rescale_q(pkt->pts, base, AVRational{1, 1000});
      const int64_t end =
          av_rescale_q(pkt->pts + std::max<int64_t>(pkt->duration, 0), base, AVRational{1, 1000});
      if (first == AV_NOPTS_VALUE || at < first) first = at;
      if (last == AV_NOPTS_VALUE || end > last) last = end;
      if (pkt->stream_index == video && (pkt->flags & AV_PKT_FLAG_KEY)) ++facts.keyFrames;
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&in);
  if (first != AV_NOPTS_VALUE) facts.spanMs = last - first;
  return facts;
}

}  // namespace kvrd
