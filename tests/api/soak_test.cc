// Soak: 8 clients start, pause, resume, stop, delete and query pushed records
// at random while the host pushes media into the running ones (and into some
// that were stopped, with their old handles). Each client owns its own record
// names, so it knows the answer every call must give; at the end the task
// table, the volumes' use counts and the files on disk must agree with what
// the clients were told. Meant for the sanitizer builds: a crash, a leak or a
// race there is the finding. KVR_SOAK_SECONDS sets the length (25 s by
// default; the long run is 600), KVR_SOAK_SEED repeats a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/message/store_pdus.h"
#include "protocol/tcp/kvr_control_client.h"
#include "tests/api/host_rig.h"
#include "tests/api/sanitizer_options.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::HostRig;
using kvr_test::UseCounts;
using kvr_test::WaitFor;

constexpr int kClients = 8, kNamesPerClient = 6;

// A client's calls. Codes are the exports' statuses: 0, or the refusal's
// negative code.
class Client {
 public:
  virtual ~Client() = default;
  virtual int Start(const std::string& read, const std::string& name) = 0;
  virtual int Control(const std::string& name, int code) = 0;
  virtual int Delete(const std::string& name) = 0;
  // Entries found for `name` (0 or 1), or -1 when the query failed.
  virtual int Count(const std::string& name) = 0;
  // False when a refusal comes back as one code for every reason.
  virtual bool ExactCodes() const = 0;
};

// The host's own calls. The status query's answer lives until the next
// query, so the host makes one at a time.
class ExportsClient : public Client {
 public:
  int Start(const std::string& read, const std::string& name) override {
    return KVR_StartRecRealMedia(const_cast<char*>(read.c_str()), const_cast<char*>(name.c_str()),
                                 0, 0);
  }
  int Control(const std::string& name, int code) override {
    char* url = const_cast<char*>(name.c_str());
    return code == 3 ? KVR_StopRecRealMedia(url) : KVR_ControlRecRealMedia(url, code);
  }
  int Delete(const std::string& name) override {
    return KVR_DelRecMediaFile(const_cast<char*>(name.c_str()));
  }
  int Count(const std::string& name) override {
    std::lock_guard<std::mutex> lock(queries_);
    unsigned long records = 0;
    unsigned int count = 0;
    return KVR_QueryRecRealMediaStatus(const_cast<char*>(name.c_str()), records, count) == 0
               ? static_cast<int>(count)
               : -1;
  }
  bool ExactCodes() const override { return true; }

 private:
  static inline std::mutex queries_;
};

// A remote client on its own connection. Replies say only success or
// failure (result 0 or 5); a call that gets no reply is -100.
class ProtocolClient : public Client {
 public:
  ProtocolClient(int id, unsigned short port) : client_("soak" + std::to_string(id)) {
    client_.SetTimeout(30000);  // sanitizer builds are slow, and stops wait for their writer
    connected_ = client_.Connect("127.0.0.1", port) == ControlStatus::kOk;
  }
  bool connected() const { return connected_; }

  int Start(const std::string& read, const std::string& name) override {
    CRecordMedia* request = CRecordMedia::Create();
    kvr_test::Copy(request->readFileUrl, read);
    kvr_test::Copy(request->writeFileUrl, name);
    return Result(client_.Call<CRecordMediaAck>(request));
  }
  int Control(const std::string& name, int code) override {
    CRecordMediaControl* request = CRecordMediaControl::Create();
    kvr_test::Copy(request->recordFileUrl, name);
    request->ctrlInfo = code;
    return Result(client_.Call<CRecordMediaControlAck>(request));
  }
  int Delete(const std::string& name) override {
    CDelRecordMedia* request = CDelRecordMedia::Create();
    kvr_test::Copy(request->recordFileUrl, name);
    return Result(client_.Call<CDelRecordMediaAck>(request));
  }
  int Count(const std::string& name) override {
    std::vector<RecordStatusEntry> entries;
    const int result = client_.QueryStatus(name.c_str(), &entries);
    // Nothing found is answered with result 5 and no entry.
    return result == 0 || (result == 5 && entries.empty()) ? static_cast<int>(entries.size()) : -1;
  }
  bool ExactCodes() const override { return false; }

 private:
  template <class Ack>
  int Result(const CReferPtr<Ack>& reply) {
    if (!reply) {
      ADD_FAILURE() << client_.Session() << ": " << client_.ErrorText();
      return -100;
    }
    return reply->GetResultCode() == 0 ? 0 : -1;
  }

  CKVRControlClient client_;
  bool connected_ = false;
};

// What one record name should be, as its client was told.
struct Expected {
  bool task = false;  // in the task table
  bool file = false;  // its file is on a volume
  int volume = -1;    // which one
  int state = 0;      // the writer's state once it has taken up the last control
  uint32_t handle = 0;
};

class SoakClient {
 public:
  SoakClient(int id, Client* client, HostRig* rig, const std::vector<std::string>& volumes,
             uint32_t seed)
      : id_(id), client_(client), rig_(rig), volumes_(volumes), random_(seed) {
    for (int k = 0; k < kNamesPerClient; ++k) {
      names_.push_back("c" + std::to_string(id) + "-" + std::to_string(k) + ".ts");
    }
    names_.push_back("c" + std::to_string(id) + "-dir/sub/deep.ts");  // a record in a subfolder
  }

  // Random calls until `stop`; false at the first answer that is not the expected one.
  bool Run(const std::atomic<bool>& stop) {
    while (!stop) {
      const size_t k = random_() % names_.size();
      const std::string& name = names_[k];
      Expected& e = expected_[name];
      const int op = static_cast<int>(random_() % 100);
      if (op < 25) {
        const std::string read = "DvCon://soak/" + name;
        // A running record has its file, and the file is looked for first.
        const int expected = e.file ? -6 : e.task ? -3 : 0;
        if (!Check("start", name, client_->Start(read, name), expected)) return false;
        if (expected == 0) {
          e = {true, true, -1, 4, rig_->Handle(read)};
          // The writer makes the file on a framework thread.
          if (!WaitFor([&] { return (e.volume = VolumeOf(name)) >= 0; })) {
            ADD_FAILURE() << name << ": no file after the start";
            return false;
          }
        }
      } else if (op < 45) {
        const int code = op < 35 ? 1 : 2;
        if (!Check(code == 1 ? "pause" : "resume", name, client_->Control(name, code),
                   e.task ? 0 : -2)) {
          return false;
        }
        if (code == 1 && (e.state == 4 || e.state == 2)) e.state = 1;
        if (code == 2 && e.state == 1) e.state = 2;
      } else if (op < 58) {
        if (!Check("stop", name, client_->Control(name, 3), e.task ? 0 : -2)) return false;
        // The task leaves once its writer has taken the stop.
        if (e.task && !WaitFor([&] { return client_->Count(name) == 0; })) {
          ADD_FAILURE() << name << ": still listed after its stop";
          return false;
        }
        e.task = false;
      } else if (op < 70) {
        const int expected = e.task ? -3 : e.file ? 0 : -5;
        if (!Check("delete", name, client_->Delete(name), expected)) return false;
        if (expected == 0) e.file = false;
      } else if (op < 80) {
        if (!Check("query", name, client_->Count(name), e.task ? 1 : 0)) return false;
      } else {
        // Media for every record of this client, a stopped one's old handle included.
        std::string chunk(188 * (1 + random_() % 40), '\x47');
        for (const auto& [n, r] : expected_) {
          if (r.handle != 0 &&
              KVR_SetDvConMediaData(chunk.data(), static_cast<int>(chunk.size()), r.handle) != 0) {
            ADD_FAILURE() << n << ": a push was refused";
            return false;
          }
        }
      }
      ++calls_;
    }
    return true;
  }

  int VolumeOf(const std::string& name) const {
    for (size_t v = 0; v < volumes_.size(); ++v) {
      if (fs::exists(volumes_[v] + "/" + name)) return static_cast<int>(v);
    }
    return -1;
  }
  const std::map<std::string, Expected>& expected() const { return expected_; }
  long calls() const { return calls_; }

 private:
  bool Check(const char* what, const std::string& name, int code, int expected) {
    const bool ok = code == expected || (!client_->ExactCodes() && (code == 0) == (expected == 0));
    if (!ok) {
      ADD_FAILURE() << "client " << id_ << " " << what << " " << name << ": " << code
                    << ", expected " << expected << " after " << calls_ << " calls";
    }
    return ok;
  }

  const int id_;
  Client* const client_;
  HostRig* const rig_;
  const std::vector<std::string> volumes_;
  std::mt19937 random_;
  std::vector<std::string> names_;
  std::map<std::string, Expected> expected_;
  long calls_ = 0;
};

// Every regular file under the volumes, as "volume:name".
std::set<std::string> FilesOnDisk(const std::vector<std::string>& volumes) {
  std::set<std::string> files;
  for (size_t v = 0; v < volumes.size(); ++v) {
    for (const auto& entry : fs::recursive_directory_iterator(volumes[v])) {
      if (entry.is_regular_file()) {
        files.insert(std::to_string(v) + ":" +
                     fs::relative(entry.path(), volumes[v]).generic_string());
      }
    }
  }
  return files;
}

std::map<std::string, int> TaskTable() {
  std::map<std::string, int> table;
  for (const auto& r : kvr_test::RecordTable()) table[r.recordFileUrl] = r.status;
  return table;
}

void Soak(const std::function<std::unique_ptr<Client>(int id, unsigned short port)>& makeClient) {
  const char* secondsText = std::getenv("KVR_SOAK_SECONDS");
  const double seconds = secondsText != nullptr ? std::atof(secondsText) : 25;
  const char* seedText = std::getenv("KVR_SOAK_SEED");
  const uint32_t seed =
      seedText != nullptr ? std::strtoul(seedText, nullptr, 10) : std::random_device()();
  std::printf("soak: %.0f s, seed %u\n", seconds, seed);

  kvr_test::ScratchDir dir;
  const std::vector<std::string> volumes = {dir.File("v0"), dir.File("v1")};
  for (const auto& v : volumes) fs::create_directories(v);
  HostRig rig(volumes, kClients * (kNamesPerClient + 1),
              KVR_SOURCE_DIR "/config/Server_Config.xml");
  ASSERT_TRUE(rig.ok());

  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::unique_ptr<SoakClient>> soakers;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(makeClient(c, rig.port()));
    ASSERT_NE(clients.back(), nullptr);
    soakers.push_back(
        std::make_unique<SoakClient>(c, clients.back().get(), &rig, volumes, seed + c));
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (auto& s : soakers) threads.emplace_back([&stop, &s] { s->Run(stop); });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();

  std::map<std::string, int> tasks;
  std::vector<int> uses(volumes.size(), 0);
  std::set<std::string> files;
  long calls = 0;
  for (const auto& s : soakers) {
    calls += s->calls();
    for (const auto& [name, e] : s->expected()) {
      if (e.task) {
        tasks[name] = e.state;
        ++uses[e.volume];
      }
      if (e.file) files.insert(std::to_string(e.volume) + ":" + name);
    }
  }
  std::printf("soak: %ld calls, %zu records left running, %zu files\n", calls, tasks.size(),
              files.size());
  // The writers take up the last pauses and resumes on framework threads.
  WaitFor([&] { return TaskTable() == tasks; });
  EXPECT_EQ(TaskTable(), tasks);
  EXPECT_EQ(UseCounts(), uses);
  EXPECT_EQ(FilesOnDisk(volumes), files);

  // Stopping and deleting what is left empties every table and volume.
  for (const auto& [name, state] : tasks) EXPECT_EQ(KVR_StopRecRealMedia((char*)name.c_str()), 0);
  WaitFor([&] { return TaskTable().empty(); });
  EXPECT_EQ(UseCounts(), std::vector<int>(volumes.size(), 0));
  for (const auto& f : files) {
    EXPECT_EQ(KVR_DelRecMediaFile((char*)f.substr(2).c_str()), 0) << f;
  }
  EXPECT_TRUE(TaskTable().empty());
  for (const auto& f : FilesOnDisk(volumes)) ADD_FAILURE() << "left on disk: " << f;
}

TEST(SoakTest, EightProtocolClients) {
  Soak([](int id, unsigned short port) -> std::unique_ptr<Client> {
    auto client = std::make_unique<ProtocolClient>(id, port);
    if (!client->connected()) return nullptr;
    return client;
  });
}

// The host's calls run the same handlers on its own threads, beside the
// framework's: the same soak through the exports.
TEST(SoakTest, EightHostThreads) {
  Soak([](int, unsigned short) { return std::make_unique<ExportsClient>(); });
}

}  // namespace
