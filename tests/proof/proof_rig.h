// The one rig of the proof suite and the scale bench: a host of the library
// as one built against include/KVRServer.h would be. It configures
// volumes, starts pushed records and remembers the handle the library gives
// each one, and makes every record's stream distinct and reproducible, so a
// record file can be checked byte for byte against what was pushed into it.
//
// The service is a process-wide singleton: one rig per process. The
// callbacks run on library threads and guard the rig's tables; everything
// else is for the thread that owns the rig, except Push, which any thread
// may call for the records it feeds.
#ifndef KVR_TESTS_PROOF_PROOF_RIG_H_
#define KVR_TESTS_PROOF_PROOF_RIG_H_

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "include/KVRServer.h"
#include "tests/test_util.h"

namespace kvr_test {

// MPEG-TS-shaped bytes of one record: 188-byte packets with a sync byte, the
// record's own PID and a continuity counter, and a payload from a generator
// seeded by the record's number. Two records never share a packet, and a
// stream regenerated from the same seed is the same byte for byte.
class TsStream {
 public:
  static constexpr size_t kPacket = 188;

  explicit TsStream(uint32_t record) : pid_(0x100 + (record & 0x1eff)), state_(Seed(record)) {}

  // Appends `packets` whole packets to `out`.
  void Next(size_t packets, std::string* out) {
    for (size_t p = 0; p < packets; ++p) {
      const size_t at = out->size();
      out->resize(at + kPacket);
      char* packet = out->data() + at;
      packet[0] = 0x47;
      packet[1] = static_cast<char>(pid_ >> 8);
      packet[2] = static_cast<char>(pid_ & 0xff);
      packet[3] = static_cast<char>(0x10 | (counter_++ & 0x0f));
      for (size_t i = 4; i < kPacket; i += 8) {
        const uint64_t word = Step();
        std::memcpy(packet + i, &word, std::min<size_t>(8, kPacket - i));
      }
    }
  }

 private:
  static uint64_t Seed(uint32_t record) { return 0x9e3779b97f4a7c15ull * (record + 1) | 1; }
  uint64_t Step() {  // xorshift64*
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545f4914f6cdd1dull;
  }

  const uint32_t pid_;
  uint64_t state_;
  uint8_t counter_ = 0;
};

// Where the first difference between the file and the first `bytes` bytes of
// record `record`'s stream lies: "" when the file holds exactly those bytes.
inline std::string CompareWithStream(const std::string& path, uint32_t record, uint64_t bytes) {
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  if (ec) return path + ": " + ec.message();
  if (size != bytes) {
    return path + ": " + std::to_string(size) + " bytes, " + std::to_string(bytes) + " pushed";
  }
  std::ifstream in(path, std::ios::binary);
  TsStream stream(record);
  std::string expected, got;
  for (uint64_t offset = 0; offset < bytes;) {
    expected.clear();
    stream.Next(1024, &expected);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(expected.size(), bytes - offset));
    got.resize(n);
    in.read(got.data(), static_cast<std::streamsize>(n));
    if (!in || std::memcmp(got.data(), expected.data(), n) != 0) {
      return path + ": differs within bytes " + std::to_string(offset) + ".." +
             std::to_string(offset + n);
    }
    offset += n;
  }
  return "";
}

// The status of every record, as the status query returns it.
inline std::vector<RECORD_STATUS_INFO> RecordTable() {
  unsigned long records = 0;
  unsigned int count = 0;
  if (KVR_QueryRecRealMediaStatus(const_cast<char*>("*"), records, count) != 0) return {};
  const auto* entries = reinterpret_cast<const RECORD_STATUS_INFO*>(records);
  return std::vector<RECORD_STATUS_INFO>(entries, entries + count);
}

// Use count of every volume, in configuration order.
inline std::vector<int> UseCounts() {
  STORE_CONFIG_INFO config;
  KVR_GetKVRConfig(config);
  std::vector<int> counts;
  for (const STORE_VOLUME_INFO& v : config.volumes) counts.push_back(v.useCount);
  return counts;
}

class HostRig {
 public:
  // Starts the service on a free loopback port with `volumes` (folders that
  // exist) and room for `maxRecords` records. `routingFile` is copied into
  // the working directory, where the service's first start looks for it,
  // unless one is there.
  HostRig(const std::vector<std::string>& volumes, uint32_t maxRecords,
          const std::string& routingFile) {
    instance_ = this;
    if (!std::filesystem::exists("Server_Config.xml")) {
      std::filesystem::copy_file(routingFile, "Server_Config.xml");
    }
    STORE_CONFIG_INFO config;
    config.maxRecordNumber = maxRecords;
    config.volumes.resize(volumes.size());
    for (size_t i = 0; i < volumes.size(); ++i) {
      // Not "V" + to_string(i): GCC 12 at -O3 warns of an overlap it imagines.
      std::snprintf(config.volumes[i].volumeName, sizeof config.volumes[i].volumeName, "V%zu", i);
      Copy(config.volumes[i].volumePath, volumes[i]);
      config.volumes[i].volumeType = 1;
    }
    KVR_SetDvConMsgCallBack(&OnDvCon, 0);
    KVR_SetRecordEventCallBack(&OnEvent, 0);
    port_ = FreeLoopbackPort();
    ok_ = KVR_SetKVRConfig(config) == 0 && KVR_StartService(port_) == 0;
  }
  ~HostRig() {
    KVR_StopService();
    instance_ = nullptr;
  }
  HostRig(const HostRig&) = delete;
  HostRig& operator=(const HostRig&) = delete;

  bool ok() const { return ok_; }
  unsigned short port() const { return port_; }

  // The read URL of pushed record `record`, by which its handle is found.
  static std::string ReadUrl(uint32_t record) { return "DvCon://host/" + std::to_string(record); }

  // Starts pushed record `record` into `writeUrl`; its handle, 0 when the
  // start failed or the library named none.
  uint32_t StartPushed(uint32_t record, const std::string& writeUrl) {
    std::string read = ReadUrl(record);
    if (KVR_StartRecRealMedia(read.data(), const_cast<char*>(writeUrl.c_str()), 0, 0) != 0) {
      return 0;
    }
    return Handle(read);
  }
  static int Push(uint32_t handle, const std::string& bytes) {
    return KVR_SetDvConMediaData(const_cast<char*>(bytes.data()), static_cast<int>(bytes.size()),
                                 handle);
  }
  // The handle the device-connection callback last gave for `readUrl` (0: none).
  uint32_t Handle(const std::string& readUrl) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto found = handles_.find(readUrl);
    return found == handles_.end() ? 0 : found->second;
  }
  // Record events so far, "url code" each.
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }

 private:
  // A callback that comes after the rig is gone (a late event of a stopped
  // record) has nothing to tell.
  static void KVR_CALL OnDvCon(int, char* readUrl, char*, unsigned int handle) {
    if (instance_ == nullptr) return;
    std::lock_guard<std::mutex> lock(instance_->mu_);
    instance_->handles_[readUrl] = handle;
  }
  static void KVR_CALL OnEvent(const char* url, int code, unsigned int) {
    if (instance_ == nullptr) return;
    std::lock_guard<std::mutex> lock(instance_->mu_);
    instance_->events_.push_back(std::string(url) + " " + std::to_string(code));
  }

  static inline HostRig* instance_ = nullptr;
  std::mutex mu_;
  std::map<std::string, uint32_t> handles_;
  std::vector<std::string> events_;
  unsigned short port_ = 0;
  bool ok_ = false;
};

// The service in a scratch folder with `volumes` volume folders v0, v1, ...
struct Site {
  kvr_test::ServiceFolder folder{true};
  std::vector<std::string> volumes;
  std::unique_ptr<HostRig> rig;
  Site(int volumeCount, uint32_t maxRecords) {
    for (int v = 0; v < volumeCount; ++v) {
      volumes.push_back(folder.File("v" + std::to_string(v)));
      std::filesystem::create_directories(volumes.back());
    }
    rig = std::make_unique<HostRig>(volumes, maxRecords, folder.File("Server_Config.xml"));
  }
  std::string FileOf(const std::string& name) const {
    for (const auto& v : volumes) {
      if (std::filesystem::exists(v + "/" + name)) return v + "/" + name;
    }
    return "";
  }
};

}  // namespace kvr_test

#endif  // KVR_TESTS_PROOF_PROOF_RIG_H_
