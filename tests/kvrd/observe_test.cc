// What kvrd shows of itself, in-process: the metrics text, the volume
// figures, and playback of footage made with ffmpeg into fragmented MP4.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

#include "tests/test_util.h"
#include "tools/kvrd/exporter.h"
#include "tools/kvrd/health.h"
#include "tools/kvrd/metrics.h"

namespace {

namespace fs = std::filesystem;

// Buckets are cumulative and end in +Inf, a family's HELP and TYPE come once,
// label values are escaped. Kills: per-bucket counts, a second HELP line for
// a family, a quote that ends the label early.
TEST(MetricsTextTest, HistogramsAreCumulativeAndLabelsEscaped) {
  kvrd::Histogram h;
  for (double s : {0.004, 0.3, 0.3, 7.0, 60.0}) h.Observe(s);
  kvrd::MetricsText m;
  m.Family("x_seconds", "histogram", "Time \\ taken.");
  m.Histo("x_seconds", {{"camera", "a\"b\\c\nd"}}, h);
  m.Family("x_seconds", "histogram", "again");
  const std::string& t = m.text();
  const std::string label = "camera=\"a\\\"b\\\\c\\nd\"";
  for (const std::string& line : std::vector<std::string>{
           "# HELP x_seconds Time \\\\ taken.\n# TYPE x_seconds histogram\n",
           "x_seconds_bucket{" + label + ",le=\"0.01\"} 1\n",
           "x_seconds_bucket{" + label + ",le=\"0.25\"} 1\n",
           "x_seconds_bucket{" + label + ",le=\"0.5\"} 3\n",
           "x_seconds_bucket{" + label + ",le=\"10\"} 4\n",
           "x_seconds_bucket{" + label + ",le=\"+Inf\"} 5\n",
           "x_seconds_sum{" + label + "} 67.604\n",
           "x_seconds_count{" + label + "} 5\n",
       }) {
    EXPECT_NE(t.find(line), std::string::npos) << line << "\nin\n" << t;
  }
  EXPECT_EQ(t.find("again"), std::string::npos) << t;
}

// The write rate is the bytes over the wall time the segments span; the time
// until full counts only the space above the reserve. Kills: a rate over the
// sum of durations (overlaps counted twice), a reserve left out, a division
// by a zero rate.
TEST(HealthTest, WriteRateAndTimeUntilFull) {
  std::vector<kvrd::SegmentRow> rows(3);
  rows[0].startMs = 0, rows[0].endMs = 10'000, rows[0].bytes = 500'000;
  rows[1].startMs = 9'900, rows[1].endMs = 20'000, rows[1].bytes = 500'000;
  rows[2].startMs = 30'000, rows[2].endMs = 40'000, rows[2].bytes = 1'000'000;
  EXPECT_DOUBLE_EQ(kvrd::WriteRate(rows), 50'000);
  EXPECT_DOUBLE_EQ(kvrd::WriteRate({}), 0);
  EXPECT_DOUBLE_EQ(kvrd::WriteRate({rows[0]}), 50'000);
  EXPECT_DOUBLE_EQ(kvrd::SecondsUntilFull(1'000'000, 200'000, 1'000), 800);
  EXPECT_DOUBLE_EQ(kvrd::SecondsUntilFull(100, 200, 1'000), 0);
  EXPECT_TRUE(std::isinf(kvrd::SecondsUntilFull(1'000, 0, 0)));
}

class PlaybackTest : public ::testing::Test {
 protected:
  // Three 2 s segments of H.264 and AAC: two back to back, the third after
  // a 3 s outage.
  void SetUp() override {
    const std::string file = dir_.File("clip.ts");
    const kvr_test::Outcome made = kvr_test::RunCommand(
        "ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi "
        "-i sine=frequency=440:sample_rate=48000 -t 2 -c:v libx264 -profile:v baseline -pix_fmt "
        "yuv420p -g 25 "
        "-c:a aac -f mpegts '" +
        file + "'");
    ASSERT_EQ(made.exitCode, 0) << made.err;
    for (int64_t start : {kT0, kT0 + 2'000, kT0 + 7'000}) {
      kvrd::ExportSource source;
      source.row.startMs = start;
      source.row.endMs = start + 2'000;
      source.path = file;
      sources_.push_back(source);
    }
  }
  static constexpr int64_t kT0 = 1'796'000'000'000;
  kvr_test::ScratchDir dir_;
  std::vector<kvrd::ExportSource> sources_;
};

// The range from inside the first segment plays from that segment's key
// frame, through the second, and on into the third with the outage taken out
// of the clock; it decodes without an error. Kills: the wall clock kept
// (9 s), the muxer's time base ignored (audio twice as long), AAC without its
// configuration or with its ADTS headers (decode errors), a start after the
// key frame.
TEST_F(PlaybackTest, ARangeOverAnOutagePlaysAsOneRunOfFootage) {
  int64_t started = 0;
  std::ofstream out(dir_.File("play.mp4"), std::ios::binary);
  kvrd::RemuxSink sink;
  sink.begin = [&](int64_t ms) { started = ms; };
  sink.write = [&](const uint8_t* data, int size) {
    out.write(reinterpret_cast<const char*>(data), size);
    return true;
  };
  std::string error;
  ASSERT_TRUE(kvrd::PlayRange(sources_, kT0 + 500, kT0 + 9'000, sink, &error)) << error;
  out.close();
  EXPECT_EQ(started, kT0) << "the key frame at or before the start";
  const std::string path = dir_.File("play.mp4");
  const kvr_test::Outcome decoded =
      kvr_test::RunCommand("ffmpeg -v error -i '" + path + "' -f null - 2>&1");
  EXPECT_EQ(decoded.out, "") << "decode errors";
  for (const char* stream : {"v", "a"}) {
    const kvr_test::Outcome probed = kvr_test::RunCommand(
        std::string("ffprobe -v error -select_streams ") + stream +
        " -show_entries stream=codec_name,duration -of csv=p=0 '" + path + "'");
    const std::string line = probed.out;
    ASSERT_NE(line.find(','), std::string::npos) << line;
    EXPECT_EQ(line.substr(0, line.find(',')), stream[0] == 'v' ? "h264" : "aac");
    const double seconds = std::stod(line.substr(line.find(',') + 1));
    EXPECT_NEAR(seconds, 6.0, 0.25) << stream;
  }
}

// A reader that goes away stops the remux at once. Kills: a sink's refusal
// ignored (the whole range produced for nobody).
TEST_F(PlaybackTest, AReaderThatGoesAwayStopsIt) {
  int writes = 0;
  kvrd::RemuxSink sink;
  sink.write = [&](const uint8_t*, int) { return ++writes < 3; };
  std::string error;
  EXPECT_FALSE(kvrd::PlayRange(sources_, kT0, kT0 + 9'000, sink, &error));
  EXPECT_EQ(error, "the reader went away");
  EXPECT_EQ(writes, 3);
}

}  // namespace
