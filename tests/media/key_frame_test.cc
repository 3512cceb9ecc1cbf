// A pulled record opens with a picture, and so does the part after a resume:
// the record files are read back packet by packet with ffprobe.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "tests/media/camera_fixture.h"
#include "tests/media/media_probe.h"
#include "tests/media/media_rig.h"

namespace {

using kvr_test::MediaRig;
using kvr_test::TestCamera;
using kvr_test::WaitFor;
using kvr_test::Writer;
using namespace std::chrono_literals;

struct Packet {
  std::string type;  // "video" or "audio"
  double pts = -1;   // seconds; -1 when the packet carries none
  bool key = false;
};

std::vector<Packet> Packets(const std::string& path) {
  const kvr_test::Outcome probe = kvr_test::RunCommand(
      "ffprobe -v error -show_entries packet=codec_type,pts_time,flags -of csv=p=0 '" + path + "'");
  EXPECT_EQ(probe.exitCode, 0) << probe.err;
  std::istringstream out(probe.out);
  std::vector<Packet> packets;
  for (std::string line; std::getline(out, line);) {
    std::istringstream fields(line);
    Packet p;
    std::string pts, flags;
    std::getline(fields, p.type, ',');
    if (p.type != "video" && p.type != "audio") continue;  // side data lines
    std::getline(fields, pts, ',');
    std::getline(fields, flags, ',');
    p.pts = pts.empty() || pts == "N/A" ? -1 : std::atof(pts.c_str());
    p.key = flags.find('K') != std::string::npos;
    packets.push_back(p);
  }
  return packets;
}

// The first video packet of the file and the first after every hole in the
// video time stamps longer than `hole` seconds (a pause) must be key frames
// with time stamps, and no sound may be older than the first picture. Gives
// the number of holes, so the caller knows the pause was seen.
int ExpectPicturesFirst(const std::vector<Packet>& packets, double hole) {
  int holes = 0;
  double first = -1, last = -1;
  for (size_t i = 0; i < packets.size(); ++i) {
    const Packet& p = packets[i];
    if (p.type != "video") continue;
    if (first < 0) {
      EXPECT_TRUE(p.key && p.pts >= 0) << "the file opens mid-picture-group";
      first = p.pts;
    } else if (p.pts - last > hole) {
      ++holes;
      EXPECT_TRUE(p.key) << "packet " << i << " at " << p.pts << " s resumes mid-picture-group";
    }
    last = p.pts;
  }
  EXPECT_GE(first, 0) << "no picture at all";
  for (const Packet& p : packets) {
    if (p.type == "audio") {
      EXPECT_GE(p.pts, first) << "sound from before the first picture";
    }
  }
  return holes;
}

class KeyFrameTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(rig_.ok() && camera_.ok()) << camera_.error(); }
  MediaRig rig_;
  TestCamera camera_;
};

// Kills "the key-frame wait ends on the stamp-less packet", "a resume goes
// on mid-picture-group", a pause that closes the camera's stream and a stop
// that leaves it open: started twice (the camera's key interval is 2 s, so a
// start lands mid-group almost always), paused and resumed half-way into a
// group each time.
TEST_F(KeyFrameTest, PulledRecordAndItsResumeOpenWithAKeyFrame) {
  for (const std::string name : {"cam/one.ts", "cam/two.ts"}) {
    auto rec = rig_.Start({.writeUrl = name, .readUrl = camera_.url()});
    ASSERT_TRUE(WaitFor([&] { return rec.writer->GetBytesReceived() > 0; }));
    std::this_thread::sleep_for(1500ms);
    rig_.Control(rec, Writer::kStatePaused);
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStatePaused));
    std::this_thread::sleep_for(1300ms);
    EXPECT_NE(rec.pulled->GetStreamHandle(), 0u) << "a pause leaves the stream open";
    rig_.Control(rec, Writer::kStateResumed);
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateResumed));
    std::this_thread::sleep_for(3s);
    rig_.Control(rec, Writer::kStateStopped);
    ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateStopped));
    EXPECT_TRUE(WaitFor([&] { return rec.pulled->GetStreamHandle() == 0; })) << "stream closed";
  }
  ASSERT_TRUE(rig_.WaitFilesClosed());
  for (const char* name : {"cam/one.ts", "cam/two.ts"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ExpectPicturesFirst(Packets(rig_.dir.File(name)), 0.5), 1) << "one pause";
  }
}

}  // namespace
