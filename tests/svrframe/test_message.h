// A message for framework tests: its routing texts are set by the test and
// it counts its own destruction.
#ifndef KVR_TESTS_SVRFRAME_TEST_MESSAGE_H_
#define KVR_TESTS_SVRFRAME_TEST_MESSAGE_H_

#include <atomic>
#include <string>

#include "svrframe/inner_protocol_stack.h"

namespace kvr_test {

class TestMessage : public SvrFrame::CInnerProtocolStack {
 public:
  TestMessage(std::string protocol, std::string command, int result = 0,
              std::atomic<int>* destroyed = nullptr)
      : protocol_(std::move(protocol)),
        command_(std::move(command)),
        result_(result),
        destroyed_(destroyed) {}
  ~TestMessage() override {
    if (destroyed_ != nullptr) destroyed_->fetch_add(1);
  }

  const char* GetProtocolName() const override { return protocol_.c_str(); }
  const char* GetCommandName() const override { return command_.c_str(); }
  CSecureString GetResultText() const override {
    return CSecureString(std::to_string(result_).c_str());
  }
  int32_t GetMessageKind() const override { return SvrFrame::kRequestMessage; }
  int32_t GetCarrierKind() const override { return 0; }

  // A sequence number tests use to check order.
  int sequence = 0;

 private:
  std::string protocol_;
  std::string command_;
  int result_;
  std::atomic<int>* destroyed_;
};

}  // namespace kvr_test

#endif  // KVR_TESTS_SVRFRAME_TEST_MESSAGE_H_
