// The command dealing module: the switchboard between all modules.
//
// Modules register here and get a sink; everything they Send lands in one of
// six queues (data, control data and NR data, each once for messages from
// communication modules and once for messages from function modules). Seven
// event threads each own one kind of work: threads 1 to 6 drain one queue
// each, look up the message's destinations in the routing configuration and
// call OnMessage of the destination modules; thread 7 carries out module
// removals and destroys removed communication modules after a grace period,
// so that a module still being called on another thread is not freed under it.
//
// An idle event thread sleeps until it is signalled; thread 7 also wakes
// when the earliest grace period of a removed module ends. Nothing wakes on
// a timer while there is no work.
//
// Messages of one queue are delivered in order; different queues may
// overtake each other. The data queue from communication modules, the NR
// data queue from communication modules and the data queue from function
// modules refuse a message when more than 20000 are waiting.
//
// Removal contract: RemoveFunModule and RemoveCommModule return at once when
// `destroy` is set (the framework destroys the module later). With `destroy`
// clear the owner keeps the module and will free it itself, so the call,
// made from any thread other than the event threads, returns only after
// thread 7 has carried the removal out and no event thread is still inside
// the module's OnMessage: the owner may destroy the module as soon as the
// call returns. From inside an event thread (a module's OnMessage) the call
// only queues the removal, since thread 7 may be waiting for that very thread
// to leave a module; such a caller must remove with `destroy` set or keep the
// module alive itself. A waiting caller must not hold a lock that the
// module's OnMessage takes, or the two wait for each other. A communication
// module registered under a unique name already in use replaces the earlier
// one, which is then removed for deletion like any other.
//
// Locks: each queue, each module map, the removed-module queue, the operation
// queue and each event thread's event have their own lock and no two are held
// together (an event thread's work flag is atomic and takes none). No lock is
// held while a module's OnMessage runs, so an OnMessage may register, look up
// and remove modules. All public operations are safe from any thread; Destroy
// is called once, by the owner, from outside the event threads.
//
// The routing configuration loaded by Init belongs to this module alone: it
// routes by it and drops it when it is destroyed.
#ifndef KVR_SVRFRAME_CMD_DEAL_MDL_H_
#define KVR_SVRFRAME_CMD_DEAL_MDL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/mutex.h"
#include "platform/time.h"
#include "svrframe/cmd_deal_module.h"
#include "svrframe/event.h"
#include "svrframe/module_config.h"
#include "svrframe/read_write_mutex.h"
#include "svrframe/thread.h"

namespace SvrFrame {

class CCmdDealMdl;

// Base of the command dealing module's threads; deletes itself when it ends.
class CCmdDealMdlThread : public QWTools::CThread {
 public:
  explicit CCmdDealMdlThread(CCmdDealMdl* owner) : CThread(true), owner_(owner) {}

 protected:
  CCmdDealMdl* owner_;
};

// Event thread n (1 to 7): runs the owner's EventLoop for its number.
class CEventDealThread : public CCmdDealMdlThread {
 public:
  CEventDealThread(CCmdDealMdl* owner, int number) : CCmdDealMdlThread(owner), number_(number) {}

 protected:
  int Run() override;

 private:
  const int number_;
};

class CCmdDealMdl : public ICmdDealModule {
 public:
  static constexpr int kEventThreadCount = 7;
  static constexpr int kQueueCount = 6;
  // A limited queue refuses a message when its length plus the weight exceeds this.
  static constexpr int kQueueLimit = 20000;
  // A removed communication module is destroyed once this much time has passed.
  static constexpr uint32_t kRemovalGraceMs = 5001;
  // Longest wait of a caller for thread 7 between looks at whether it still
  // runs; the end of the removal ends the wait at once.
  static constexpr uint32_t kIdleWaitMs = 5;
  // How soon thread 7 looks again at a removed module whose grace period is
  // over but which a delivery is still inside.
  static constexpr uint32_t kBusyRetryMs = 1;
  // An idle wait without a deadline.
  static constexpr uint32_t kNoDeadline = UINT32_MAX;
  // Most messages an event thread takes out of its queue under one lock.
  static constexpr size_t kDrainBatch = 64;
  // Longest sleep between looks at the ended threads during shut-down.
  static constexpr uint32_t kShutdownPollMs = 50;

  // useEventThreads: make the seven event threads in Init (the service
  // does). Without them messages wait in their queues and module operations
  // are carried out at once on the caller's thread.
  explicit CCmdDealMdl(bool useEventThreads = true);
  // Shuts down if Destroy did not; prefer Destroy.
  ~CCmdDealMdl() override;
  CCmdDealMdl(const CCmdDealMdl&) = delete;
  CCmdDealMdl& operator=(const CCmdDealMdl&) = delete;

  // Starts the event threads (once) and loads the routing file (empty name:
  // "Server_Config.xml"), which replaces any loaded before. 0, or -1 when the
  // file does not load (the threads keep running, routing nothing).
  int Init(const CSecureString& configFile) override;
  // Shuts down (every event thread ended, every module destroyed, every
  // queued message released) and deletes this module with its configuration.
  int Destroy() override;
  // Queues the message as if a communication module had sent it as data,
  // without the limit, so that it is routed by the entrance routes.
  int OnMessage(const MessageRef& message) override;
  // The switchboard sends nothing itself.
  int Send(const MessageRef& message, int weight, int messageClass) override;
  ModuleSink SetSink(ModuleSink sink, void* user) override;
  CRuntimeMdlInfo* GetRuntimeInfo() override { return runtimeInfo_.get(); }

  bool RegisterFunModule(IModule* module) override;
  bool RemoveFunModule(IModule* module, bool destroy) override;
  bool RegisterCommModule(IModule* module, int32_t key) override;
  bool RemoveCommModule(IModule* module, bool destroy) override;
  // Queued at the end of the communication modules' data queue without the
  // limit; its thread moves it on to the end of the function modules' data
  // queue, which delivers it by its reply-to list.
  int RelayBehindData(const MessageRef& message) override;

  // Hook after the routing file was loaded in Init.
  virtual void OnConfigLoaded(bool loaded) { (void)loaded; }
  // Hook before OnMessage queues a message.
  virtual void BeforePost(const MessageRef& message) { (void)message; }
  // The idle pass of event thread n: thread 7 destroys removed modules whose
  // grace period is over; every thread then sleeps until it is signalled or,
  // for thread 7, until the next grace period ends.
  virtual bool OnIdle(int thread);
  // Makes thread 7 look at the removed modules now: for a clock that a test
  // moves by hand (Now), since thread 7 sleeps until the deadline it saw.
  void WakeRemovalThread() { slots_[QWTools::kMessageEvent - 1].wake.Notify(); }
  // The body of event thread n (1 to 7); returns 1 when told to close, or at
  // once for a number out of range.
  virtual int EventLoop(int thread);

  // --- Introspection, for the service's diagnostics and for tests ---
  // Messages waiting in the queue drained by event type 1 to 6 (0 otherwise).
  size_t QueueLength(int eventType);
  IModule* FindFunModule(const CSecureString& name);
  IModule* FindCommModule(const CSecureString& name);
  // Communication modules waiting for their grace period to end.
  size_t RemovedModuleCount();
  // Whether event thread n has left its loop.
  bool ThreadEnded(int thread) const;

 protected:
  // The tick count that unique names are made with and the removal grace
  // period is measured on (wrapping milliseconds).
  virtual uint32_t Now() { return platform::TickCount(); }

 private:
  struct MessageQueue {
    QWTools::CReadWriteMutex lock;
    std::deque<MessageRef> messages GUARDED_BY(lock);
    int32_t messageClass = 0;
    bool limited = false;
    bool fromFunctionModules = false;  // routed by the reply routes
  };
  struct EventSlot {
    QWTools::CReadWriteMutex lock;
    std::unique_ptr<QWTools::CEvent> event GUARDED_BY(lock);
    // The event's type, readable without the lock; changes only to close.
    std::atomic<int32_t> type{0};
    // Work is waiting. Senders only read it while it is set, so a busy
    // thread's flag costs them no write and no lock.
    std::atomic<bool> signalled{false};
    platform::Signal wake;  // ends the idle wait early
    std::atomic<bool> started{false};
    std::atomic<bool> ended{false};
    // The module whose OnMessage this thread is calling, so that a removal
    // can wait until no thread is inside the module.
    std::atomic<IModule*> callee{nullptr};
  };
  struct ModuleOperation {
    int operation = 0;  // kRemoveCommOperation or kRemoveFunOperation
    IModule* module = nullptr;
    bool destroy = false;
    uint64_t id = 0;
  };
  struct RemovedModule {
    IModule* module = nullptr;
    uint32_t removedAt = 0;
  };
  using ModuleMap = std::unordered_map<CSecureString, IModule*>;
  static constexpr int kRemoveCommOperation = 0;
  static constexpr int kRemoveFunOperation = 2;

  static int FunModuleSink(const MessageRef* message, void* user, int weight, int messageClass);
  static int CommModuleSink(const MessageRef* message, void* user, int weight, int messageClass);
  int Post(bool fromFunctionModule, const MessageRef* message, int weight, int messageClass);
  void Append(int queue, const MessageRef& message);

  void StartEventThreads();
  void SignalEvent(int type);
  void Drain(int queue);
  void DeliverEntrance(const MessageRef& message, EventSlot& slot);
  void DeliverReply(const MessageRef& message, EventSlot& slot);
  void DeliverTo(bool functionModule, const CSecureString& name, const MessageRef& message,
                 EventSlot& slot);

  void QueueOperation(int operation, IModule* module, bool destroy);
  void RunModuleOperations();
  void CarryOut(const ModuleOperation& op);
  // Puts a communication module that left the map on the removed-module queue.
  void Retire(IModule* module);
  // Takes a module back off the removed-module queue; false when it is not there.
  bool Unretire(IModule* module);
  // True while some event thread other than the caller is inside module's OnMessage.
  bool InDelivery(const IModule* module) const;
  void WaitUntilNotInDelivery(const IModule* module) const;
  // Destroys the removed modules whose grace period is over; the
  // milliseconds until the next one's ends (kNoDeadline when none waits).
  uint32_t SweepRemovedModules();
  bool Thread7Running() const;
  bool OnOwnEventThread() const;

  void Shutdown();

  std::unique_ptr<CRuntimeMdlInfo> runtimeInfo_;
  const bool useEventThreads_;

  QWTools::CReadWriteMutex funLock_;
  ModuleMap funModules_ GUARDED_BY(funLock_);
  QWTools::CReadWriteMutex commLock_;
  ModuleMap commModules_ GUARDED_BY(commLock_);
  QWTools::CReadWriteMutex removedLock_;
  std::deque<RemovedModule> removedModules_ GUARDED_BY(removedLock_);

  MessageQueue queues_[kQueueCount];    // index = event type - 1
  EventSlot slots_[kEventThreadCount];  // index = thread number - 1

  QWTools::CReadWriteMutex operationsLock_;
  std::deque<ModuleOperation> operations_ GUARDED_BY(operationsLock_);
  uint64_t lastOperationId_ GUARDED_BY(operationsLock_) = 0;
  std::recursive_mutex operationsRunMu_;  // one runner of the operations at a time
  std::atomic<uint64_t> operationsDone_{0};
  platform::Signal operationsDoneSignal_;

  platform::Mutex configMu_;
  // Every configuration loaded stays until this module goes: a thread may
  // still be routing with an earlier one while Init loads the next.
  std::vector<std::shared_ptr<const CModuleConfig>> configs_ GUARDED_BY(configMu_);
  std::atomic<const CModuleConfig*> config_{nullptr};  // the newest of configs_

  platform::Mutex startMu_;
  bool threadsMade_ GUARDED_BY(startMu_) = false;
  std::atomic<bool> closed_{false};
  platform::Signal threadEndedSignal_;
};

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_CMD_DEAL_MDL_H_
