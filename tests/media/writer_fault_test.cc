// The record writer when its disk misbehaves: held back, refusing the last
// flush, or hanging for good beside healthy volumes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "tests/media/media_rig.h"

namespace {

using kvr_test::Bytes;
using kvr_test::Events;
using kvr_test::kPacket;
using kvr_test::MediaRig;
using kvr_test::WaitFor;
using kvr_test::Writer;
using namespace std::chrono_literals;

class WriterFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(rig_.ok()); }
  void TearDown() override { disk_.Open(); }
  // Holds every write of the record's file at the gate until it opens.
  void HoldDisk(const MediaRig::Record& rec) {
    ASSERT_TRUE(WaitFor([&] {
      return rig_.proactor().SetWriteThrottle(rec.writer->GetChannelId(),
                                              [this](size_t) { disk_.Pass(); });
    }));
  }
  // A 1 MiB filesystem under the rig's folder, or a skip.
  std::string SmallVolume() {
    const std::string small = rig_.dir.File("small");
    std::filesystem::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0) return "";
    mounted_ = small;
    return small;
  }
  ~WriterFaultTest() override {
    if (!mounted_.empty()) ::umount2(mounted_.c_str(), MNT_DETACH);
  }

  kvr_test::Gate disk_;
  MediaRig rig_;
  std::string mounted_;
};

// 3 MiB queued behind a held write, a pause and a resume, then 1.5 MiB more:
// once the disk moves, the file holds all of it in the order it came.
TEST_F(WriterFaultTest, PauseAndResumeBehindAHeldDiskKeepEveryByteInOrder) {
  auto rec = rig_.Recording({.writeUrl = "held.ts"});
  HoldDisk(rec);
  std::string expected;
  auto push = [&](size_t bytes, uint32_t seed) {
    for (size_t at = 0; at < bytes; at += 256 * kPacket) {
      const std::string payload = Bytes(256 * kPacket, seed++);
      rig_.PushAndWait(rec, payload);
      expected += payload;
    }
  };
  push(3 << 20, 0);
  rig_.Control(rec, Writer::kStatePaused);
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStatePaused));
  rig_.Control(rec, Writer::kStateResumed);
  ASSERT_TRUE(rig_.WaitState(rec, Writer::kStateResumed));
  push(3 << 19, 1000);
  disk_.Open();
  rig_.Control(rec, Writer::kStateStopped);
  ASSERT_TRUE(rig_.WaitFilesClosed());
  EXPECT_EQ(rec.writer->GetDroppedPayloads(), 0u);
  EXPECT_TRUE(rig_.FileText("held.ts") == expected);
}

// Host chunks that cut packets anywhere, dropped while the disk is held:
// what reaches the file is whole packets of the stream at their own offsets.
TEST_F(WriterFaultTest, DropsOfPushedChunksNeverSplitAPacket) {
  ASSERT_TRUE(rig_.proactor().SetMemoryBounds(64 << 10, 64 << 20));
  auto rec = rig_.Recording({.writeUrl = "cut.ts"});
  HoldDisk(rec);
  const std::string stream = Bytes(600 * kPacket + 77, 5);
  for (size_t at = 0, n = 1; at < stream.size(); at += n, n = n * 7 % 5003 + 1) {
    rig_.PushAndWait(rec, stream.substr(at, n));
  }
  EXPECT_GT(rec.writer->GetDroppedPayloads(), 0u);
  disk_.Open();
  rig_.Control(rec, Writer::kStateStopped);
  ASSERT_TRUE(rig_.WaitFilesClosed());
  const std::string file = rig_.FileText("cut.ts");
  ASSERT_EQ(file.size() % kPacket, 77u) << "whole packets, then the stream's own tail";
  size_t from = 0;
  for (size_t at = 0; at + kPacket <= file.size(); at += kPacket) {
    const std::string packet = file.substr(at, kPacket);
    while (from < stream.size() && stream.compare(from, kPacket, packet) != 0) from += kPacket;
    ASSERT_LT(from, stream.size()) << "packet at " << at << " is no packet of the stream";
    from += kPacket;
  }
}

// The volume fills while the last bytes wait behind a held write; the pause
// or stop that flushes them meets a full disk. Either way the requester hears
// of it (event 4) and the file ends on a whole packet.
TEST_F(WriterFaultTest, AFailedLastFlushOfAPauseOrStopRaisesItsEvent) {
  const std::string small = SmallVolume();
  if (small.empty()) GTEST_SKIP() << "cannot mount a small filesystem: " << std::strerror(errno);
  for (const int control : {Writer::kStatePaused, Writer::kStateStopped}) {
    const std::string url = "last" + std::to_string(control) + ".ts";
    auto rec = rig_.Recording({.writeUrl = url, .volume = small});
    HoldDisk(rec);
    rig_.PushAndWait(rec, Bytes(100 * kPacket, control));
    const std::string filler = small + "/filler";
    {
      std::ofstream fill(filler, std::ios::binary);
      fill << std::string(1 << 20, 'f');
    }
    rig_.Control(rec, control);
    ASSERT_TRUE(rig_.WaitState(rec, control));
    disk_.Open();
    EXPECT_TRUE(WaitFor([&] { return rig_.EventsSoFar(rec) == Events{Writer::kEventWriteError}; }))
        << control;
    EXPECT_EQ(rec.writer->GetState(),
              control == Writer::kStatePaused ? Writer::kStateFailed : Writer::kStateStopped);
    ASSERT_TRUE(rig_.WaitFilesClosed());
    EXPECT_EQ(platform::FileSize(small + "/" + url) % kPacket, 0) << control;
    std::filesystem::remove(filler);
    disk_.Close();
  }
}

// A FUSE volume whose writes hang (tests/media/stall_fs.py), as a network
// volume that stops answering; its writes fail once released.
class HungVolume {
 public:
  // `all`: creating a file and asking for the volume's space hang too.
  HungVolume(const std::string& root, const std::string& mount, bool all = false) : mount_(mount) {
    std::filesystem::create_directories(root);
    std::filesystem::create_directories(mount);
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(out[1], STDERR_FILENO);
      // Its release is the end of its input: no copy of the writing end may stay here.
      for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
      ::execl("/usr/bin/python3", "python3", KVR_SOURCE_DIR "/tests/media/stall_fs.py",
              root.c_str(), mount.c_str(), all ? "all" : nullptr, nullptr);
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    release_ = in[1];
    FILE* said = ::fdopen(out[0], "r");
    char line[512] = "";
    while (std::fgets(line, sizeof line, said) != nullptr) {
      if (std::strncmp(line, "ready", 5) == 0) {
        ready_ = true;
        break;
      }
      why_ += line;
    }
    std::fclose(said);
    if (why_.empty() && !ready_) why_ = "stall_fs.py ended without mounting";
  }
  ~HungVolume() {
    Release();
    if (pid_ > 0) {
      const std::string unmount = "fusermount3 -uz '" + mount_ + "' 2>/dev/null";
      const bool unmounted = std::system(unmount.c_str()) == 0;
      // A lazy unmount ends the server only once its files are closed.
      for (int i = 0; unmounted && i < 500 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(10ms);
      }
      if (::waitpid(pid_, nullptr, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
      }
    }
  }
  bool ready() const { return ready_; }
  const std::string& why() const { return why_; }
  // Writes fail from now on instead of hanging.
  void Release() {
    if (release_ >= 0) ::close(release_);
    release_ = -1;
  }

 private:
  std::string mount_;
  pid_t pid_ = -1;
  int release_ = -1;
  bool ready_ = false;
  std::string why_;
};

// Four records on a volume that hangs beside sixteen on a healthy one. The
// healthy keep every byte; the hung ones drop what passes their bound, count
// it, and end with event 4 at their first drop once their volume has been gone
// for Writer::kVolumeGoneMs.
TEST_F(WriterFaultTest, AHungVolumeCostsTheRecordsOnOtherVolumesNothing) {
  HungVolume hung(rig_.dir.File("hung-root"), rig_.dir.File("hung"));
  if (!hung.ready()) GTEST_SKIP() << "FUSE is not permitted here: " << hung.why();
  ASSERT_TRUE(rig_.proactor().SetMemoryBounds(2 << 20, 64 << 20));
  std::vector<MediaRig::Record> sick, well;
  for (int i = 0; i < 4; ++i) {
    sick.push_back(rig_.Recording(
        {.writeUrl = "sick" + std::to_string(i) + ".ts", .volume = rig_.dir.File("hung")}));
  }
  for (int i = 0; i < 16; ++i) well.push_back(rig_.Recording({.writeUrl = std::to_string(i)}));
  std::vector<std::string> expected(well.size());
  const auto started = std::chrono::steady_clock::now();
  for (uint32_t round = 0; round < 24; ++round) {
    const std::string payload = Bytes(512 * kPacket, round);
    for (auto& rec : sick) rig_.PushAndWait(rec, payload);
    for (size_t i = 0; i < well.size(); ++i) {
      rig_.PushAndWait(well[i], payload);
      expected[i] += payload;
    }
  }
  for (auto& rec : well) rig_.Control(rec, Writer::kStateStopped);
  EXPECT_TRUE(WaitFor([&] { return rig_.proactor().GetChannelCount() == sick.size(); }, 5s))
      << "every healthy file written and closed while the volume hangs";
  for (size_t i = 0; i < well.size(); ++i) {
    EXPECT_EQ(well[i].writer->GetDroppedPayloads(), 0u) << i;
    EXPECT_TRUE(rig_.FileText(well[i].url) == expected[i]) << i;
  }
  for (auto& rec : sick) {
    EXPECT_GT(rec.writer->GetDroppedPayloads(), 0u);
    EXPECT_EQ(rec.writer->GetState(), Writer::kStateRecording) << "a gap, not yet the end";
  }
  std::this_thread::sleep_until(started + std::chrono::milliseconds(Writer::kVolumeGoneMs) + 1s);
  for (auto& rec : sick) {
    rig_.PushAndWait(rec, Bytes(512 * kPacket, 99));
    EXPECT_EQ(rec.writer->GetState(), Writer::kStateFailed);
    EXPECT_EQ(rig_.EventsSoFar(rec), Events{Writer::kEventWriteError});
  }
  hung.Release();
  EXPECT_TRUE(rig_.WaitFilesClosed());
}

// Records started on a volume whose file creation and space look never
// return, beside sixteen records on a healthy volume: the healthy take their
// bytes at once and keep every one; the hung ones, once their volume comes
// back broken, end with event 4. Kills: a record file opened, or a volume's
// space asked for, on a thread that carries every record's media.
TEST_F(WriterFaultTest, AVolumeWhoseOpensAndSpaceLooksHangStallsOnlyItsOwnRecords) {
  HungVolume hung(rig_.dir.File("hung-root"), rig_.dir.File("hung"), /*all=*/true);
  if (!hung.ready()) GTEST_SKIP() << "FUSE is not permitted here: " << hung.why();
  std::vector<MediaRig::Record> sick, well;
  for (int i = 0; i < 4; ++i) {
    sick.push_back(rig_.Recording(
        {.writeUrl = "sick" + std::to_string(i) + ".ts", .volume = rig_.dir.File("hung")}));
  }
  for (int i = 0; i < 16; ++i) well.push_back(rig_.Recording({.writeUrl = std::to_string(i)}));
  const std::string payload = Bytes(512 * kPacket, 1);
  for (auto& rec : sick) {
    CKVRDvConCommMdl::PushMedia(payload.data(), static_cast<int>(payload.size()),
                                rec.pushed->GetHandle());
  }
  for (auto& rec : well) {
    CKVRDvConCommMdl::PushMedia(payload.data(), static_cast<int>(payload.size()),
                                rec.pushed->GetHandle());
  }
  EXPECT_TRUE(WaitFor(
      [&] {
        return std::all_of(well.begin(), well.end(), [&](auto& rec) {
          return rec.writer->GetBytesReceived() == payload.size();
        });
      },
      2s))
      << "a healthy record waited for the hung volume";
  for (auto& rec : well) rig_.Control(rec, Writer::kStateStopped);
  EXPECT_TRUE(WaitFor([&] { return rig_.proactor().GetChannelCount() == 0; }, 5s));
  for (auto& rec : well) EXPECT_TRUE(rig_.FileText(rec.url) == payload) << rec.url;
  hung.Release();
  for (auto& rec : sick) {
    EXPECT_TRUE(rig_.WaitState(rec, Writer::kStateFailed)) << rec.url;
    // The state turns before the event reaches the host.
    EXPECT_TRUE(WaitFor([&] { return rig_.EventsSoFar(rec) == Events{Writer::kEventWriteError}; }))
        << rec.url << " " << testing::PrintToString(rig_.EventsSoFar(rec));
  }
  EXPECT_TRUE(rig_.WaitFilesClosed());
}

}  // namespace
