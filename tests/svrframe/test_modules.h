// Modules for framework tests: they keep what they are given and report
// their destruction.
#ifndef KVR_TESTS_SVRFRAME_TEST_MODULES_H_
#define KVR_TESTS_SVRFRAME_TEST_MODULES_H_

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "svrframe/comm_mdl.h"
#include "svrframe/svr_fun_mdl.h"
#include "tests/svrframe/test_message.h"

namespace kvr_test {

template <typename Base>
class RecordingModule : public Base {
 public:
  RecordingModule(const char* name, std::atomic<int>* destroyed = nullptr)
      : Base(false), destroyed_(destroyed) {
    this->GetRuntimeInfo()->SetName(name);
  }
  ~RecordingModule() override {
    if (destroyed_ != nullptr) destroyed_->fetch_add(1);
    if (destroyLog != nullptr) *destroyLog += this->GetRuntimeInfo()->Name().c_str()[0];
  }
  int Destroy() override {
    delete this;
    return 0;
  }
  int Loop() override { return 0; }
  int OnMessage(const SvrFrame::MessageRef& message) override {
    if (onMessage) onMessage(message);
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (keep) received_.push_back(message);
    }
    calls.fetch_add(1);  // last, so that a test seeing the count sees all the call did
    return 0;
  }

  std::vector<SvrFrame::MessageRef> Received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }
  // Sequence numbers of the kept messages, in arrival order.
  std::vector<int> Sequences() {
    std::vector<int> out;
    for (const auto& m : Received()) out.push_back(static_cast<TestMessage*>(m.get())->sequence);
    return out;
  }
  CSecureString Name() { return this->GetRuntimeInfo()->Name(); }

  std::atomic<int> calls{0};
  bool keep = true;
  // Runs inside OnMessage on the delivering thread (set before messages flow).
  std::function<void(const SvrFrame::MessageRef&)> onMessage;
  // Gets the first letter of the module's name when it is deleted.
  std::string* destroyLog = nullptr;

 private:
  std::atomic<int>* destroyed_;
  std::mutex mu_;
  std::vector<SvrFrame::MessageRef> received_;
};

using FunModule = RecordingModule<SvrFrame::CSvrFunMdl>;
using CommModule = RecordingModule<SvrFrame::CCommMdl>;

}  // namespace kvr_test

#endif  // KVR_TESTS_SVRFRAME_TEST_MODULES_H_
