#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "protocol/message/media_pdu.h"
#include "protocol/tcp/kvr_tcp_comm_mdl.h"
#include "protocol/tcp/kvr_tcp_service.h"
#include "tests/protocol/tcp/tcp_test_support.h"

namespace {

using kvr::tcp::CTcpSendLink;

using kvr_test::KeepAliveReply;
using kvr_test::KeepAliveRequest;
using kvr_test::kKeepAliveReply7;
using kvr_test::LoopbackClient;
using kvr_test::PollUntil;

// Every unit the module hands to the framework, as "command/CSeq" for
// KeepAlive and "command/length" for anything else.
int CaptureSink(const SvrFrame::MessageRef* message, void* user, int, int) {
  auto* unit = dynamic_cast<IZETAPDU*>(message->get());
  std::string what = (*message)->GetCommandName();
  what +=
      "/" + (what == "KeepAlive" ? unit->GetSequence()
                                 : std::to_string(unit->GetDoc()->GetCarrier()->GetTotalLength()));
  static_cast<std::vector<std::string>*>(user)->push_back(what);
  return 0;
}

TEST(TcpCommMdlTest, ReceivedBytesAreCutIntoMessages) {
  const std::string r7 = KeepAliveRequest(7);
  const std::string r8 = KeepAliveRequest(8);
  const std::string full(CKVRTcpCommMdl::kStreamBufferSize, 'x');
  std::vector<std::string> bytewise;
  for (char c : r7) bytewise.emplace_back(1, c);
  struct Case {
    const char* name;
    std::vector<std::string> receives;
    std::vector<std::string> units;
    size_t beforeLast;  // units handed on before the last receive
  };
  const Case cases[] = {
      {"two in one receive", {r7 + r8}, {"KeepAlive/7", "KeepAlive/8"}, 0},
      {"one byte per receive", bytewise, {"KeepAlive/7"}, 0},
      {"split over receives",
       {r7.substr(0, 40), r7.substr(40) + r8.substr(0, 100), r8.substr(100)},
       {"KeepAlive/7", "KeepAlive/8"},
       1},
      {"junk in front", {"xyz" + r7}, {"Invalid_CmdId/3", "KeepAlive/7"}, 0},
      {"full buffer dropped by the next receive", {full, r7}, {"KeepAlive/7"}, 0},
      {"full buffer and a message in one receive", {full + r7}, {"KeepAlive/7"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CKVRTcpCommMdl module(std::make_shared<CTcpSendLink>(nullptr), 1, 77, "127.0.0.1", 5000);
    std::vector<std::string> units;
    module.SetSink(&CaptureSink, &units);
    for (size_t i = 0; i < c.receives.size(); ++i) {
      // A message is handed on when its last byte arrives, not before.
      if (i + 1 == c.receives.size()) {
        EXPECT_EQ(units.size(), c.beforeLast);
      }
      module.OnData(c.receives[i].data(), static_cast<int>(c.receives[i].size()));
    }
    EXPECT_EQ(units, c.units);
    EXPECT_EQ(module.HeldBytes(), 0);
  }
}

TEST(TcpCommMdlTest, RepliesGoOutInOrderOnePerWrittenSend) {
  kvr_test::Served s;
  auto& [listener, server] = s;
  LoopbackClient client(s.port());
  const int32_t id = s.Accept(client);
  auto link = std::make_shared<CTcpSendLink>(&server);
  CKVRTcpCommMdl module(link, 1, id, "127.0.0.1", 5000);
  listener.onSent = [&](int32_t connId, int sequence) {
    if (connId == id) module.OnSent(sequence);
  };

  for (int seq : {7, 8, 9}) {
    CReferPtr<IZETAPDU> reply(CKeepAliveAck::Create(0));
    reply->SetSession("12");
    reply->SetSequence(std::to_string(seq).c_str());
    EXPECT_EQ(module.OnMessage(SvrFrame::MessageRef(reply.get())), 0);
  }
  const char media[] = "media bytes";
  EXPECT_EQ(module.OnMessage(SvrFrame::MessageRef(CQwMediaData::Create(media, 11, 1))), 0);
  EXPECT_EQ(server.QueuedCount(id), 1u);  // the rest wait in the module

  const std::string expected = KeepAliveReply(7) + KeepAliveReply(8) + KeepAliveReply(9);
  EXPECT_TRUE(PollUntil(server, [&] { return listener.Count("sent") == 3; }));
  EXPECT_EQ(client.Read(expected.size()), expected);
  EXPECT_EQ(server.QueuedCount(id), 0u);  // the media unit was never queued
  link->Detach();
}

TEST(TcpServiceTest, KeepAliveIsAnsweredByteForByteThroughTheFramework) {
  kvr_test::ServiceRig rig;
  ASSERT_TRUE(rig.ready);
  LoopbackClient client(rig.port());
  ASSERT_TRUE(client.SendAll(KeepAliveRequest(7)));
  EXPECT_EQ(client.Read(std::strlen(kKeepAliveReply7)), kKeepAliveReply7);

  // Junk is skipped and joined requests are answered in order.
  ASSERT_TRUE(client.SendAll("xyz" + KeepAliveRequest(8) + KeepAliveRequest(9)));
  const std::string expected = KeepAliveReply(8) + KeepAliveReply(9);
  EXPECT_EQ(client.Read(expected.size()), expected);

  EXPECT_EQ(rig.service.ModuleCount(), 1u);
  client.Close();
  // The module is handed back to the framework, which frees it after its grace period.
  EXPECT_TRUE(kvr_test::WaitFor(
      [&] { return rig.service.ModuleCount() == 0 && rig.cmdDeal->RemovedModuleCount() == 1; }));
}

}  // namespace
