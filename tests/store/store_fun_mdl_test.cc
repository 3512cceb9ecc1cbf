// The storage function module end to end: the real command dealing module
// with the service's routing file, the real proactor, real record files in a
// scratch folder. Requests are handed to the handlers as the exports do, with
// a client module as requester, or sent by the client through the framework
// as the network does; replies come back to the client.
#include "store/kvr_store_fun_mdl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "media/kvr_dvcon_comm_mdl.h"
#include "media/kvr_io_comm_mdl.h"
#include "platform/time.h"
#include "protocol/session_pdus.h"
#include "protocol/store_pdus.h"
#include "store/kvr_data.h"
#include "store/record_name.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "tests/svrframe/test_modules.h"
#include "tests/test_util.h"

namespace {

using kvr_test::WaitFor;

// What the host's callbacks were given. They carry no pointer of ours, so
// the one test running at a time keeps them here.
struct HostCalls {
  std::mutex mu;
  int dvConCalls = 0;
  int message = 0;
  std::string readUrl, recordPath;
  uint32_t handle = 0;
  std::vector<std::string> events;  // "url code user"
};
HostCalls g_host;

void KVR_CALL OnDvCon(int message, char* readUrl, char* recordPath, unsigned int handle) {
  std::lock_guard<std::mutex> lock(g_host.mu);
  ++g_host.dvConCalls;
  g_host.message = message;
  g_host.readUrl = readUrl;
  g_host.recordPath = recordPath;
  g_host.handle = handle;
}

void KVR_CALL OnRecordEvent(const char* url, int code, unsigned int user) {
  std::lock_guard<std::mutex> lock(g_host.mu);
  g_host.events.push_back(std::string(url) + " " + std::to_string(code) + " " +
                          std::to_string(user));
}

std::time_t Seconds(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}
std::time_t Seconds(const RECORD_TIME& t) {
  return Seconds(t.year, t.month, t.day, t.hour, t.minute, t.second);
}
std::time_t Now() {
  const platform::LocalTime now = platform::GetLocalTime();
  return Seconds(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

class CountingPoller : public IKVRServicePoller {
 public:
  int Poll() override { return ++polls, 1; }
  std::atomic<int> polls{0};
};

class StoreFunMdlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(g_host.mu);
      g_host.dvConCalls = 0;
      g_host.handle = 0;
      g_host.events.clear();
    }
    cmd_ = new CKVRCmdDealMdl(true);
    ASSERT_EQ(cmd_->Init(KVR_SOURCE_DIR "/config/Server_Config.xml"), 0);
    data_.SetCmdDealModule(cmd_);
    data_.SetDvConMsgCallBack(&OnDvCon, 0);
    data_.SetRecordEventCallBack(&OnRecordEvent, 77);
    fun_ = new CKVRStoreFunMdl(&data_);
    fun_->Init("");
    ASSERT_TRUE(cmd_->RegisterFunModule(fun_));
    client_ = new kvr_test::CommModule("TcpCommMdl");
    ASSERT_TRUE(cmd_->RegisterCommModule(client_, 1));
    volume_ = dir_.File("vol");
  }
  void TearDown() override {
    cmd_->RemoveFunModule(fun_, false);
    cmd_->Destroy();  // and with it the client and every record module
    delete fun_;
  }

  void Configure(int max, const char* volumeName = "V") {
    CReferPtr<CSetKVRCngParams> set(CSetKVRCngParams::Create());
    set->maxRecordNumber = max;
    set->reservedSpace = 0;
    set->reservedvolumeSpace = 0;
    set->AddVolume(volumeName, volume_.c_str(), 1);
    ASSERT_EQ(fun_->HandleStoreConfig(set.get()), 0);
  }

  // A request from the client, handed to the handler directly.
  template <class Unit>
  CReferPtr<Unit> FromClient(Unit* unit) {
    CReferPtr<Unit> ref(unit);
    ref->SetCommOrigin(client_->Name());
    ref->SetSequence("42");
    return ref;
  }
  int Start(const char* writeUrl, const char* readUrl = "DvCon", int limitSize = 0,
            int limitTime = 0, const char* volumeName = "") {
    auto request = FromClient(CRecordMedia::Create());
    std::snprintf(request->writeFileUrl, sizeof(request->writeFileUrl), "%s", writeUrl);
    std::snprintf(request->readFileUrl, sizeof(request->readFileUrl), "%s", readUrl);
    std::snprintf(request->volumn, sizeof(request->volumn), "%s", volumeName);
    request->limitSize = limitSize;
    request->limitTime = limitTime;
    return fun_->HandleRecRealMedia(request.get());
  }
  int Control(const char* url, int ctrl) {
    auto request = FromClient(CRecordMediaControl::Create());
    std::snprintf(request->recordFileUrl, sizeof(request->recordFileUrl), "%s", url);
    request->ctrlInfo = ctrl;
    return fun_->HandleRecRealMediaControl(request.get());
  }
  int Delete(const char* url) {
    auto request = FromClient(CDelRecordMedia::Create());
    std::snprintf(request->recordFileUrl, sizeof(request->recordFileUrl), "%s", url);
    return fun_->HandleDeleteRecRealMedia(request.get());
  }

  // The client's messages of one class, once `count` of them have arrived.
  template <class T>
  std::vector<T*> Await(size_t count) {
    std::vector<T*> out;
    WaitFor([&] {
      out.clear();
      for (const auto& m : client_->Received()) {
        if (auto* t = dynamic_cast<T*>(m.get())) out.push_back(t);
      }
      return out.size() >= count;
    });
    EXPECT_EQ(out.size(), count);
    return out;
  }
  int LastResult() {
    const auto received = client_->Received();
    if (received.empty()) return -100;
    return static_cast<IZETAPDU*>(received.back().get())->GetResultCode();
  }
  // Waits for the next reply and gives its result code.
  int NextResult() {
    const size_t before = seen_;
    WaitFor([&] { return client_->Received().size() > before; });
    seen_ = client_->Received().size();
    return seen_ > before ? LastResult() : -100;
  }
  uint8_t UseCount() {
    STORE_CONFIG_INFO config;
    data_.CopyConfig(&config);
    return config.volumes.empty() ? 0 : config.volumes[0].useCount;
  }
  size_t FilesInVolume() {
    size_t n = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(volume_))
      n += !e.is_directory();
    return n;
  }

  kvr_test::ScratchDir dir_;
  std::string volume_;
  CKVRData data_;
  CKVRCmdDealMdl* cmd_ = nullptr;
  CKVRStoreFunMdl* fun_ = nullptr;
  kvr_test::CommModule* client_ = nullptr;
  size_t seen_ = 0;
};

TEST_F(StoreFunMdlTest, StartChecksRefuseInOrderAndCreateNothing) {
  Configure(0);
  EXPECT_EQ(Start("a?b.dav"), -7) << "a full table is checked before the name";
  EXPECT_EQ(NextResult(), 5);
  Configure(2);
  std::ofstream(volume_ + "/exists.dav") << "old";
  const std::string tooLong(259 - volume_.size(), 'n');
  const struct {
    std::string url;
    const char* volumeName;
    int status;
  } cases[] = {
      {"a?b.dav", "", -6},    {"a:b|c.dav", "", -6},
      {"../out.dav", "", -6}, {"x\\..\\..\\out.dav", "", -6},
      {"/abs.dav", "", -6},   {tooLong, "", -6},
      {"exists.dav", "", -6}, {"ok.dav", "nosuch", -8},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Start(c.url.c_str(), "DvCon", 0, 0, c.volumeName), c.status) << c.url;
    EXPECT_EQ(NextResult(), 5) << c.url;
  }
  EXPECT_EQ(data_.GetTaskCount(), 0u);
  EXPECT_EQ(FilesInVolume(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out.dav")));
  EXPECT_EQ(g_host.dvConCalls, 0);
}

TEST_F(StoreFunMdlTest, PresentTasksAndMissingRecordsAreRefused) {
  Configure(2);
  EXPECT_EQ(Control("nosuch.dav", 3), -2);
  EXPECT_EQ(NextResult(), 5);
  EXPECT_EQ(Delete("nosuch.dav"), -5);
  EXPECT_EQ(NextResult(), 5);

  ASSERT_EQ(Start("dup.dav"), 0);
  EXPECT_EQ(NextResult(), 0);
  const std::string file = volume_ + "/dup.dav";
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(file); }));
  EXPECT_EQ(Delete("dup.dav"), -3) << "the record is still a task";
  EXPECT_EQ(NextResult(), 5);
  std::filesystem::remove(file);
  EXPECT_EQ(Start("dup.dav"), -3);
  EXPECT_EQ(NextResult(), 5);
  ASSERT_EQ(Start("second.dav"), 0);
  EXPECT_EQ(NextResult(), 0);
  EXPECT_EQ(Start("third.dav"), -7);
  EXPECT_EQ(NextResult(), 5);
  EXPECT_EQ(UseCount(), 2);
}

TEST_F(StoreFunMdlTest, PushedRecordKeepsEveryByteAndItsUrlUntilTheFileIsDeleted) {
  Configure(4);
  const char* url = "cam1\\rec.dav";
  ASSERT_EQ(Start(url, "DvCon://dev/1", 10, 60), 0);
  EXPECT_EQ(NextResult(), 0);
  uint32_t handle;
  {
    std::lock_guard<std::mutex> lock(g_host.mu);
    EXPECT_EQ(g_host.dvConCalls, 1);
    EXPECT_EQ(g_host.message, 1);
    EXPECT_EQ(g_host.readUrl, "DvCon://dev/1");
    EXPECT_EQ(g_host.recordPath, volume_ + "/cam1/rec.dav");
    handle = g_host.handle;
  }
  EXPECT_EQ(UseCount(), 1);
  EXPECT_NE(data_.FindPushSource(url), nullptr);

  std::vector<char> bytes(3 * 1048576 + 1000);
  std::mt19937 random(7);
  for (char& b : bytes) b = static_cast<char>(random());
  for (size_t at = 0; at < bytes.size(); at += 65536) {
    const int n = static_cast<int>(std::min<size_t>(65536, bytes.size() - at));
    ASSERT_EQ(CKVRDvConCommMdl::PushMedia(bytes.data() + at, n, handle), 0);
  }
  // A stop drops what the writer has not taken yet, so every byte is in first.
  CKVRIOCommMdl* writer = data_.FindTask(url);
  ASSERT_NE(writer, nullptr);
  ASSERT_TRUE(WaitFor([&] { return writer->GetBytesReceived() == bytes.size(); }));
  RECORD_STATUS_INFO* records = nullptr;
  uint32_t count = 0;
  ASSERT_EQ(data_.QueryRecordStatus(url, &records, &count), 0);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(records->recordSize, 3);
  // While it runs, a record ends "now": seconds after it began.
  const std::time_t begin = Seconds(records->beginTime);
  ASSERT_TRUE(WaitFor([&] { return Now() - begin >= 2; }));
  ASSERT_EQ(data_.QueryRecordStatus(url, &records, &count), 0);
  EXPECT_LE(std::abs(std::difftime(Now(), Seconds(records->finalTime))), 1.0);
  EXPECT_STREQ(records->recordFileUrl, url);
  EXPECT_EQ(records->limitSize, 10);
  EXPECT_EQ(records->limitTime, 60);
  EXPECT_EQ(records->totalTime, 0);
  EXPECT_EQ(records->status, 4);

  ASSERT_EQ(Control(url, 3), 0);
  EXPECT_EQ(data_.FindTask(url), nullptr);
  EXPECT_EQ(data_.FindPushSource(url), nullptr);
  EXPECT_EQ(data_.GetTaskCount(), 0u);
  EXPECT_EQ(UseCount(), 0);
  const std::string file = volume_ + "/cam1/rec.dav";
  ASSERT_TRUE(WaitFor([&] {
    std::error_code ec;
    return std::filesystem::file_size(file, ec) == bytes.size();
  }));
  std::ifstream in(file, std::ios::binary);
  const std::vector<char> written{std::istreambuf_iterator<char>(in), {}};
  EXPECT_TRUE(written == bytes) << "the file holds every byte in order";

  EXPECT_EQ(Start(url), -6) << "the file of a stopped record stays";
  EXPECT_EQ(Delete(url), 0);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(Start(url), 0);
}

TEST_F(StoreFunMdlTest, WriterEventReachesTheHostAndThenTheRequester) {
  Configure(1);
  ASSERT_EQ(Start("limited.dav", "DvCon", 1, 0), 0);
  const std::vector<char> mib(1048576, 'x');
  uint32_t handle;
  {
    std::lock_guard<std::mutex> lock(g_host.mu);
    handle = g_host.handle;
  }
  ASSERT_EQ(CKVRDvConCommMdl::PushMedia(mib.data(), static_cast<int>(mib.size()), handle), 0);
  auto events = Await<CRecordEvent>(1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_STREQ(events[0]->recordFileUrl, "limited.dav");
  std::lock_guard<std::mutex> lock(g_host.mu);
  EXPECT_EQ(g_host.events, std::vector<std::string>{"limited.dav 3 77"});
}

TEST_F(StoreFunMdlTest, StatusRepliesCarryFiveEntriesEach) {
  auto query = [&] {
    CReferPtr<CQueryRecordStatus> q(CQueryRecordStatus::Create());
    std::strcpy(q->recordFileUrl, "*");
    client_->Send(SvrFrame::MessageRef(q.get()), 0, SvrFrame::kDataClass);
  };
  query();
  auto none = Await<CQueryRecordStatusAck>(1);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(none[0]->GetResultCode(), 5);
  EXPECT_EQ(none[0]->morePacket, 1);

  Configure(12);
  char url[16];
  for (int i = 0; i < 12; ++i) {
    std::snprintf(url, sizeof(url), "r%02d.dav", i);
    ASSERT_EQ(Start(url), 0);
  }
  query();
  auto replies = Await<CQueryRecordStatusAck>(4);
  ASSERT_EQ(replies.size(), 4u);
  const int sizes[] = {5, 5, 2}, more[] = {1, 1, 0};
  int next = 0;
  for (int r = 0; r < 3; ++r) {
    CQueryRecordStatusAck* reply = replies[r + 1];
    EXPECT_EQ(reply->GetResultCode(), 0);
    EXPECT_EQ(reply->morePacket, more[r]);
    RecordStatusEntry entry;
    int n = 0;
    for (bool first = true; reply->NextStatus(&entry, first) == 0; first = false, ++n) {
      std::snprintf(url, sizeof(url), "r%02d.dav", next++);
      EXPECT_STREQ(entry.recordFileUrl, url);
    }
    EXPECT_EQ(n, sizes[r]);
  }
}

TEST_F(StoreFunMdlTest, RegisterChecksTheUserAndAlwaysKeepsTheConnection) {
  data_.AddUser("op", "pw");
  const struct {
    const char* name;
    const char* password;
    int result;
  } cases[] = {{"op", "pw", 0}, {"op", "bad", 5}, {"nobody", "pw", 5}};
  size_t n = 0;
  for (const auto& c : cases) {
    CReferPtr<CRegister> request(CRegister::Create());
    std::strcpy(request->cuName, c.name);
    std::strcpy(request->cuPassword, c.password);
    request->SetSequence("9");
    client_->Send(SvrFrame::MessageRef(request.get()), 0, SvrFrame::kControlDataClass);
    auto replies = Await<CRegisterAck>(++n);
    ASSERT_EQ(replies.size(), n);
    EXPECT_EQ(replies.back()->GetResultCode(), c.result) << c.name << "/" << c.password;
    EXPECT_EQ(replies.back()->enableLongConnection, 1);
    EXPECT_EQ(replies.back()->GetSequence(), "9");
    EXPECT_EQ(replies.back()->GetCommOrigin(), CKVRStoreFunMdl::kName);
  }
  CReferPtr<CKeepAlive> alive(CKeepAlive::Create());
  client_->Send(SvrFrame::MessageRef(alive.get()), 0, SvrFrame::kControlDataClass);
  auto acks = Await<CKeepAliveAck>(1);
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0]->GetResultCode(), 0);
}

TEST_F(StoreFunMdlTest, OnlyARemoteConfigurationSetIsAnswered) {
  Configure(3);  // by the host: no reply
  CReferPtr<CGetKVRCngParams> get(CGetKVRCngParams::Create());
  get->cngType = 2;
  client_->Send(SvrFrame::MessageRef(get.get()), 0, SvrFrame::kDataClass);
  // Replies leave in order, so a reply to the host's set would be here by now.
  auto configs = Await<CGetKVRCngParamsAck>(1);
  ASSERT_EQ(configs.size(), 1u);
  EXPECT_EQ(client_->Received().size(), 1u);
  EXPECT_EQ(configs[0]->maxRecordNumber, 3);

  CReferPtr<CSetKVRCngParams> set(CSetKVRCngParams::Create());
  client_->Send(SvrFrame::MessageRef(set.get()), 0, SvrFrame::kDataClass);
  EXPECT_EQ(Await<CSetKVRCngParamsAck>(1).size(), 1u);
}

TEST(StoreFunMdlLoopTest, PollsWhileRunningAndEndsBeforeTheModuleGoes) {
  CKVRData data;
  CountingPoller poller;
  auto* fun = new CKVRStoreFunMdl(&data);
  fun->SetPoller(&poller);
  fun->Init("");
  fun->SetRunning(true);
  EXPECT_TRUE(WaitFor([&] { return poller.polls.load() >= 3; }));
  delete fun;  // under the sanitizers a loop still running would be caught here
}

}  // namespace
