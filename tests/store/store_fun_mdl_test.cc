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
#include <string>
#include <tuple>
#include <vector>

#include "media/kvr_dvcon_comm_mdl.h"
#include "media/kvr_io_comm_mdl.h"
#include "platform/time.h"
#include "protocol/message/session_pdus.h"
#include "protocol/message/store_pdus.h"
#include "store/kvr_data.h"
#include "store/record_name.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "tests/svrframe/test_modules.h"
#include "tests/test_util.h"

namespace {

using kvr::pdu::RecordStatusEntry;

using kvr_test::Copy;
using kvr_test::WaitFor;

// What the host's callbacks were given, in order, and the last pushed-media
// handle. They carry no pointer of ours, so the one test running at a time
// keeps them here.
std::mutex g_mu;
std::vector<std::string> g_calls;
uint32_t g_handle = 0;

void KVR_CALL OnDvCon(int message, char* readUrl, char* recordPath, unsigned int handle) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_calls.push_back("dvcon " + std::to_string(message) + " " + readUrl + " " + recordPath);
  g_handle = handle;
}

void KVR_CALL OnRecordEvent(const char* url, int code, unsigned int user) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_calls.push_back("event " + std::string(url) + " " + std::to_string(code) + " " +
                    std::to_string(user));
}

template <class T>
T Host(const T& value) {
  std::lock_guard<std::mutex> lock(g_mu);
  return value;
}

// Seconds of a local time record (the platform's or the host header's).
template <class Time>
std::time_t Seconds(const Time& t) {
  std::tm tm{};
  tm.tm_year = t.year - 1900, tm.tm_mon = t.month - 1, tm.tm_mday = t.day;
  tm.tm_hour = t.hour, tm.tm_min = t.minute, tm.tm_sec = t.second, tm.tm_isdst = -1;
  return std::mktime(&tm);
}

class StoreFunMdlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear(), g_handle = 0;  // the last test's threads have ended
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

  void Configure(int max) {
    CReferPtr<CSetKVRCngParams> set(CSetKVRCngParams::Create());
    set->maxRecordNumber = max;
    set->reservedSpace = set->reservedvolumeSpace = 0;
    set->AddVolume("V", volume_.c_str(), 1);
    ASSERT_EQ(fun_->HandleStoreConfig(set.get()), 0);
  }

  // Hands a request from the client to a handler, as the exports do; gives
  // "status/result" of the handler and of the module's reply.
  template <class Unit, class Ack, class Fill>
  std::string Call(int (CKVRStoreFunMdl::*handler)(Unit*), Ack*, Fill fill) {
    CReferPtr<Unit> request(Unit::Create());
    request->SetCommOrigin(client_->Name());
    fill(*request);
    const size_t before = Await<Ack>(0).size();
    const int status = (fun_->*handler)(request.get());
    const std::vector<Ack*> replies = Await<Ack>(before + 1);
    const int result = replies.size() > before ? replies.back()->GetResultCode() : -100;
    return std::to_string(status) + "/" + std::to_string(result);
  }
  std::string Start(const std::string& url, int limitSize = 0, const char* readUrl = "DvCon",
                    const char* volumeName = "") {
    return Call(&CKVRStoreFunMdl::HandleRecRealMedia, (CRecordMediaAck*)nullptr,
                [&](CRecordMedia& r) {
                  Copy(r.writeFileUrl, url);
                  Copy(r.readFileUrl, readUrl);
                  Copy(r.volumn, volumeName);
                  r.limitSize = limitSize;
                  r.limitTime = 60;
                });
  }
  std::string Control(const char* url, int ctrl) {
    return Call(&CKVRStoreFunMdl::HandleRecRealMediaControl, (CRecordMediaControlAck*)nullptr,
                [&](CRecordMediaControl& r) {
                  Copy(r.recordFileUrl, url);
                  r.ctrlInfo = ctrl;
                });
  }
  std::string Delete(const char* url) {
    return Call(&CKVRStoreFunMdl::HandleDeleteRecRealMedia, (CDelRecordMediaAck*)nullptr,
                [&](CDelRecordMedia& r) { Copy(r.recordFileUrl, url); });
  }
  // Sends a request from the client through the framework, as the network does.
  void FromNetwork(IZETAPDU* unit, int messageClass = SvrFrame::kDataClass) {
    client_->Send(SvrFrame::MessageRef(unit), 0, messageClass);
  }

  // The module's messages of class T to the client, once `count` have arrived
  // (the writer's own replies to the client are left out).
  template <class T>
  std::vector<T*> Await(size_t count) {
    std::vector<T*> out;
    WaitFor([&] {
      out.clear();
      for (const auto& m : client_->Received()) {
        auto* t = dynamic_cast<T*>(m.get());
        if (t != nullptr && t->GetFunOrigin() == CKVRStoreFunMdl::kName) out.push_back(t);
      }
      return out.size() >= count;
    });
    return out;
  }
  uint8_t UseCount() {
    STORE_CONFIG_INFO config;
    data_.CopyConfig(&config);
    return config.volumes.empty() ? 0 : config.volumes[0].useCount;
  }
  uint32_t PushHandle() { return Host(g_handle); }

  kvr_test::ScratchDir dir_;
  std::string volume_;
  CKVRData data_;
  CKVRCmdDealMdl* cmd_ = nullptr;
  CKVRStoreFunMdl* fun_ = nullptr;
  kvr_test::CommModule* client_ = nullptr;
};

TEST_F(StoreFunMdlTest, StartChecksRefuseInOrderAndCreateNothingAsDoPresentOrMissingRecords) {
  EXPECT_EQ(Start("a?b.dav"), "-7/5") << "a fresh service is full; that comes before the name";
  Configure(2);
  std::ofstream(volume_ + "/exists.dav") << "old";
  for (const std::string& url : std::vector<std::string>{
           "a?b.dav", "a:b|c.dav", "../out.dav", "x\\..\\..\\out.dav", "/abs.dav", "exists.dav",
           std::string(259 - volume_.size(), 'n')}) {  // one past the width
    EXPECT_EQ(Start(url), "-6/5") << url;
  }
  EXPECT_EQ(Start("ok.dav", 0, "DvCon", "nosuch"), "-8/5");
  EXPECT_EQ(Control("nosuch.dav", 3), "-2/5");
  EXPECT_EQ(Delete("nosuch.dav"), "-5/5");
  EXPECT_EQ(data_.GetTaskCount(), 0u);
  EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(dir_.path()), {}), 2)
      << "only the volume's folder and exists.dav";
  EXPECT_TRUE(Host(g_calls).empty());

  ASSERT_EQ(Start("dup.dav"), "0/0");
  const std::string file = volume_ + "/dup.dav";
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(file); }));
  EXPECT_EQ(Delete("dup.dav"), "-3/5") << "the record is still a task";
  std::filesystem::remove(file);
  EXPECT_EQ(Start("dup.dav"), "-3/5");
  ASSERT_EQ(Start("second.dav"), "0/0");
  EXPECT_EQ(Start("third.dav"), "-7/5");
  EXPECT_EQ(UseCount(), 2);
}

// A unit's text field may fill its width with no NUL: the volume it names is
// read to the field's end and copied whole, never cut to the field's width
// less one (which names another volume) nor read past into the next field.
TEST_F(StoreFunMdlTest, VolumeNameFillingItsWholeFieldChoosesThatVolume) {
  CReferPtr<CRecordMedia> probe(CRecordMedia::Create());
  const std::string name(sizeof(probe->volumn), 'w');
  CReferPtr<CSetKVRCngParams> set(CSetKVRCngParams::Create());
  set->maxRecordNumber = 1;
  set->AddVolume(name.c_str(), volume_.c_str(), 1);
  ASSERT_EQ(fun_->HandleStoreConfig(set.get()), 0);
  EXPECT_EQ(Call(&CKVRStoreFunMdl::HandleRecRealMedia, (CRecordMediaAck*)nullptr,
                 [&](CRecordMedia& r) {
                   Copy(r.writeFileUrl, "full.dav");
                   Copy(r.readFileUrl, "DvCon");
                   std::memcpy(r.volumn, name.data(), sizeof(r.volumn));
                   r.limitSize = 0x41414141;  // no NUL right after the name either
                 }),
            "0/0");
  EXPECT_EQ(UseCount(), 1);
}

TEST_F(StoreFunMdlTest, PushedRecordIsListedWithItsTimesAndKeepsItsFileUntilDeleted) {
  Configure(4);
  const char* url = "cam1\\rec.dav";
  const std::string file = volume_ + "/cam1/rec.dav";
  ASSERT_EQ(Start(url, 10, "DvCon://dev/1"), "0/0");
  EXPECT_EQ(Host(g_calls), std::vector<std::string>{"dvcon 1 DvCon://dev/1 " + file});
  EXPECT_EQ(UseCount(), 1);
  EXPECT_NE(data_.FindPushSource(url), nullptr);

  std::vector<char> bytes(3 * 1048576 + 1000, 'b');
  ASSERT_EQ(CKVRDvConCommMdl::PushMedia(bytes.data(), static_cast<int>(bytes.size()), PushHandle()),
            0);
  // A stop drops what the writer has not taken yet, so every byte is in first.
  CKVRIOCommMdl* writer = data_.FindTask(url);
  ASSERT_NE(writer, nullptr);
  ASSERT_TRUE(WaitFor([&] { return writer->GetBytesReceived() == bytes.size(); }));
  RECORD_STATUS_INFO* records = nullptr;
  uint32_t count = 0;
  ASSERT_EQ(data_.QueryRecordStatus(url, &records, &count), 0);
  ASSERT_EQ(count, 1u);
  // While it runs, a record ends "now": seconds after it began.
  const std::time_t begin = Seconds(records->beginTime);
  ASSERT_TRUE(WaitFor([&] { return Seconds(platform::GetLocalTime()) - begin >= 2; }));
  ASSERT_EQ(data_.QueryRecordStatus(url, &records, &count), 0);
  EXPECT_LE(std::abs(std::difftime(Seconds(platform::GetLocalTime()), Seconds(records->finalTime))),
            1.0);
  EXPECT_STREQ(records->recordFileUrl, url);
  EXPECT_EQ(records->recordSize, 3);
  EXPECT_EQ(records->limitSize, 10);
  EXPECT_EQ(records->limitTime, 60);
  EXPECT_EQ(records->status, 4);

  ASSERT_EQ(Control(url, 3), "0/0");
  // The stop is answered at once; the task leaves once its writer has taken it.
  EXPECT_TRUE(WaitFor([&] { return data_.FindTask(url) == nullptr; }));
  EXPECT_EQ(data_.FindPushSource(url), nullptr);
  EXPECT_EQ(data_.GetTaskCount(), 0u);
  EXPECT_EQ(UseCount(), 0);
  ASSERT_TRUE(WaitFor([&] {
    std::error_code ec;
    return std::filesystem::file_size(file, ec) == bytes.size();
  }));

  EXPECT_EQ(Start(url), "-6/5") << "the file of a stopped record stays";
  EXPECT_EQ(Delete(url), "0/0");
  EXPECT_EQ(Start(url), "0/0");
}

TEST_F(StoreFunMdlTest, StatusRepliesCarryFiveEntriesEach) {
  auto query = [&] {
    CReferPtr<CQueryRecordStatus> q(CQueryRecordStatus::Create());
    Copy(q->recordFileUrl, "*");
    FromNetwork(q.get());
  };
  query();
  ASSERT_EQ(Await<CQueryRecordStatusAck>(1).size(), 1u);
  Configure(12);
  for (int i = 10; i < 22; ++i) ASSERT_EQ(Start("r" + std::to_string(i)), "0/0");
  query();
  std::string got;  // per reply: result, more, the entries' URLs
  for (CQueryRecordStatusAck* reply : Await<CQueryRecordStatusAck>(4)) {
    got += std::to_string(reply->GetResultCode()) + std::to_string(reply->morePacket);
    RecordStatusEntry entry;
    for (bool first = true; reply->NextStatus(&entry, first) == 0; first = false) {
      got += std::string(" ") + entry.recordFileUrl;
    }
    got += "|";
  }
  EXPECT_EQ(got, "51|01 r10 r11 r12 r13 r14|01 r15 r16 r17 r18 r19|00 r20 r21|");
}

}  // namespace
