#include "svrframe/cmd_deal_mdl.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>
#include <utility>

#include "platform/debug_log.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "svrframe/mdl_base.h"

namespace SvrFrame {
namespace {

// The event threads know which module they work for, so that a removal asked
// for from inside a delivery does not wait for itself.
thread_local const CCmdDealMdl* t_owner = nullptr;
thread_local int t_thread = 0;

// Keys for communication modules registered without one. On this system an
// address does not fit the 32-bit key, so the framework hands out its own
// numbers: never 0, never -1.
int32_t NextModuleKey() {
  static std::atomic<uint32_t> counter{0};
  for (;;) {
    const int32_t key = static_cast<int32_t>(counter.fetch_add(1) + 1);
    if (key != 0 && key != -1) return key;
  }
}

std::unique_ptr<QWTools::CEvent> MakeEvent(int type) {
  switch (type) {
    case QWTools::kReceiveControlDataEvent:
      return std::make_unique<QWTools::CReceiveControlDataEvent>();
    case QWTools::kSendControlDataEvent:
      return std::make_unique<QWTools::CSendControlDataEvent>();
    case QWTools::kReceiveDataEvent:
      return std::make_unique<QWTools::CReceiveDataEvent>();
    case QWTools::kSendDataEvent:
      return std::make_unique<QWTools::CSendDataEvent>();
    case QWTools::kReceiveNRDataEvent:
      return std::make_unique<QWTools::CReceiveNRDataEvent>();
    case QWTools::kSendNRDataEvent:
      return std::make_unique<QWTools::CSendNRDataEvent>();
    case QWTools::kMessageEvent:
      return std::make_unique<QWTools::CMessageEvent>();
    default:
      return std::make_unique<QWTools::CCloseEvent>();
  }
}

// Queue of a message class: index (event type - 1) of the receive row for
// communication modules, of the send row for function modules; -1 for an
// unknown class.
int QueueOf(bool fromFunctionModule, int messageClass) {
  switch (messageClass) {
    case kDataClass:
      return fromFunctionModule ? QWTools::kSendDataEvent - 1 : QWTools::kReceiveDataEvent - 1;
    case kControlDataClass:
      return fromFunctionModule ? QWTools::kSendControlDataEvent - 1
                                : QWTools::kReceiveControlDataEvent - 1;
    case kNRDataClass:
      return fromFunctionModule ? QWTools::kSendNRDataEvent - 1 : QWTools::kReceiveNRDataEvent - 1;
    default:
      return -1;
  }
}

}  // namespace

int CEventDealThread::Run() {
  if (owner_ != nullptr) owner_->EventLoop(number_);
  return -1;
}

CCmdDealMdl::CCmdDealMdl(bool useEventThreads)
    : runtimeInfo_(std::make_unique<CRuntimeMdlInfo>("CmdDealMdl")),
      useEventThreads_(useEventThreads) {
  struct QueueLayout {
    int32_t messageClass;
    bool limited;
    bool fromFunctionModules;
  };
  // Indexed by event type - 1.
  static constexpr QueueLayout kLayouts[kQueueCount] = {
      {kControlDataClass, false, false},  // 1 receive control data
      {kControlDataClass, false, true},   // 2 send control data
      {kDataClass, true, false},          // 3 receive data
      {kDataClass, true, true},           // 4 send data
      {kNRDataClass, true, false},        // 5 receive NR data
      {kNRDataClass, false, true},        // 6 send NR data
  };
  for (int q = 0; q < kQueueCount; ++q) {
    queues_[q].messageClass = kLayouts[q].messageClass;
    queues_[q].limited = kLayouts[q].limited;
    queues_[q].fromFunctionModules = kLayouts[q].fromFunctionModules;
  }
}

CCmdDealMdl::~CCmdDealMdl() { Shutdown(); }

int CCmdDealMdl::Init(const CSecureString& configFile) {
  if (useEventThreads_) StartEventThreads();
  std::shared_ptr<const CModuleConfig> config = CModuleConfig::FromFile(configFile.c_str());
  const bool loaded = config->Loaded();
  if (!loaded) platform::DebugPrintf("CmdDealMdl: %s", config->Error().c_str());
  {
    platform::MutexLock lock(configMu_);
    configs_.push_back(config);
    config_.store(config.get(), std::memory_order_release);
  }
  OnConfigLoaded(loaded);
  return loaded ? 0 : -1;
}

void CCmdDealMdl::StartEventThreads() {
  platform::MutexLock lock(startMu_);
  if (threadsMade_) return;
  threadsMade_ = true;
  for (int n = 1; n <= kEventThreadCount; ++n) {
    EventSlot& slot = slots_[n - 1];
    {
      QWTools::CReadWriteMutexLock guard(&slot.lock);
      slot.event = MakeEvent(n);
      slot.type.store(slot.event->GetType(), std::memory_order_release);
    }
    slot.started.store(true, std::memory_order_release);
    auto* thread = new CEventDealThread(this, n);
    if (!thread->Start(1)) {
      platform::DebugPrintf("CmdDealMdl: event thread %d did not start", n);
      slot.started.store(false, std::memory_order_release);
      delete thread;
    }
  }
}

int CCmdDealMdl::Destroy() {
  Shutdown();
  delete this;
  return 0;
}

int CCmdDealMdl::OnMessage(const MessageRef& message) {
  BeforePost(message);
  if (!message) return 0;
  Append(QWTools::kReceiveDataEvent - 1, message);
  SignalEvent(QWTools::kReceiveDataEvent);
  return 0;
}

int CCmdDealMdl::Send(const MessageRef&, int, int) { return 0; }

ModuleSink CCmdDealMdl::SetSink(ModuleSink, void*) { return nullptr; }

bool CCmdDealMdl::RegisterFunModule(IModule* module) {
  if (module == nullptr || module->GetRuntimeInfo() == nullptr) return false;
  CSecureString name = module->GetRuntimeInfo()->Name();
  if (name.IsEmpty()) return false;
  QWTools::CReadWriteMutexLock guard(&funLock_);
  funModules_[name] = module;
  module->SetSink(&CCmdDealMdl::FunModuleSink, this);
  return true;
}

bool CCmdDealMdl::RegisterCommModule(IModule* module, int32_t key) {
  if (module == nullptr || module->GetRuntimeInfo() == nullptr) return false;
  if (key == 0) key = NextModuleKey();
  char suffix[32];
  std::snprintf(suffix, sizeof(suffix), "-%.10d_%08x", key, Now());
  CSecureString name = module->GetRuntimeInfo()->Name();
  name += suffix;
  module->GetRuntimeInfo()->SetName(name);
  IModule* replaced = nullptr;
  {
    QWTools::CReadWriteMutexLock guard(&commLock_);
    IModule*& slot = commModules_[name];
    if (slot != module) replaced = slot;
    slot = module;
    module->SetSink(&CCmdDealMdl::CommModuleSink, this);
  }
  // Nobody can reach the replaced module by its name any more; it goes the
  // way of a removed one, so that a delivery still inside it finishes first.
  if (replaced != nullptr) Retire(replaced);
  return true;
}

bool CCmdDealMdl::RemoveFunModule(IModule* module, bool destroy) {
  if (module == nullptr) return false;
  QueueOperation(kRemoveFunOperation, module, destroy);
  return true;
}

bool CCmdDealMdl::RemoveCommModule(IModule* module, bool destroy) {
  if (module == nullptr) return false;
  QueueOperation(kRemoveCommOperation, module, destroy);
  return true;
}

int CCmdDealMdl::RelayBehindData(const MessageRef& message) {
  if (!message) return -2;
  message->SetRelayed(true);
  Append(QWTools::kReceiveDataEvent - 1, message);
  SignalEvent(QWTools::kReceiveDataEvent);
  return 0;
}

int CCmdDealMdl::FunModuleSink(const MessageRef* message, void* user, int weight,
                               int messageClass) {
  if (user == nullptr) return -2;
  return static_cast<CCmdDealMdl*>(user)->Post(true, message, weight, messageClass);
}

int CCmdDealMdl::CommModuleSink(const MessageRef* message, void* user, int weight,
                                int messageClass) {
  if (user == nullptr) return -2;
  return static_cast<CCmdDealMdl*>(user)->Post(false, message, weight, messageClass);
}

int CCmdDealMdl::Post(bool fromFunctionModule, const MessageRef* message, int weight,
                      int messageClass) {
  const int q = QueueOf(fromFunctionModule, messageClass);
  if (q < 0) return 0;  // no such class: ignored
  if (message == nullptr || !*message) return -2;
  MessageQueue& queue = queues_[q];
  {
    QWTools::CReadWriteMutexLock guard(&queue.lock);
    if (queue.limited) {
      const long long length = static_cast<long long>(queue.messages.size());
      if (length + weight > kQueueLimit) {
        guard.Unlock();
        // Senders of media go on after a refusal; the record keeps the count.
        if (const auto& tally = (*message)->GetRefusalTally()) tally->Count();
        return static_cast<int>(kQueueLimit - length);
      }
    }
    queue.messages.push_back(*message);
  }
  SignalEvent(q + 1);
  return 0;
}

void CCmdDealMdl::Append(int q, const MessageRef& message) {
  QWTools::CReadWriteMutexLock guard(&queues_[q].lock);
  queues_[q].messages.push_back(message);
}

void CCmdDealMdl::SignalEvent(int type) {
  if (type == QWTools::kCloseEvent) {
    for (EventSlot& slot : slots_) {
      {
        QWTools::CReadWriteMutexLock guard(&slot.lock);
        slot.event = std::make_unique<QWTools::CCloseEvent>();
        slot.type.store(QWTools::kCloseEvent, std::memory_order_release);
      }
      slot.signalled.store(true);
      slot.wake.Notify();
    }
    return;
  }
  if (type < 1 || type > kEventThreadCount) return;
  EventSlot& slot = slots_[type - 1];
  // A flag that is already set has its wake-up on the way, or the thread is
  // busy and looks at the flag again before it sleeps. The thread clears the
  // flag before it looks at its queue, so work queued before this read is
  // seen either by that look or by the next one.
  if (slot.signalled.load()) return;
  if (!slot.signalled.exchange(true)) slot.wake.Notify();
}

int CCmdDealMdl::EventLoop(int thread) {
  if (thread < 1 || thread > kEventThreadCount) return 1;
  EventSlot& slot = slots_[thread - 1];
  slot.ended.store(false, std::memory_order_release);
  t_owner = this;
  t_thread = thread;
  for (;;) {
    while (!slot.signalled.load() || !slot.signalled.exchange(false)) OnIdle(thread);
    const int32_t type = slot.type.load(std::memory_order_acquire);
    switch (type) {
      case QWTools::kReceiveControlDataEvent:
      case QWTools::kSendControlDataEvent:
      case QWTools::kReceiveDataEvent:
      case QWTools::kSendDataEvent:
      case QWTools::kReceiveNRDataEvent:
      case QWTools::kSendNRDataEvent:
        Drain(type - 1);
        break;
      case QWTools::kMessageEvent:
        RunModuleOperations();
        break;
      case QWTools::kCloseEvent:
        t_owner = nullptr;
        t_thread = 0;
        // The shut-down may free this module as soon as `ended` is seen, so
        // the wake-up comes first and the flag is the last thing touched.
        threadEndedSignal_.Notify();
        slot.ended.store(true, std::memory_order_release);
        return 1;
      default:
        OnIdle(thread);
        break;
    }
  }
}

bool CCmdDealMdl::OnIdle(int thread) {
  uint32_t waitMs = kNoDeadline;
  if (thread == QWTools::kMessageEvent) waitMs = SweepRemovedModules();
  if (thread >= 1 && thread <= kEventThreadCount) {
    slots_[thread - 1].wake.Wait(waitMs);
  } else {
    platform::SleepMs(kIdleWaitMs);
  }
  return true;
}

void CCmdDealMdl::Drain(int q) {
  MessageQueue& queue = queues_[q];
  EventSlot& slot = slots_[q];
  // Taking a batch at a time keeps the queue's lock, which the senders take
  // for every message, from moving between the cores once per message.
  MessageRef batch[kDrainBatch];
  for (;;) {
    size_t taken = 0;
    {
      QWTools::CReadWriteMutexLock guard(&queue.lock);
      while (taken < kDrainBatch && !queue.messages.empty()) {
        batch[taken++] = std::move(queue.messages.front());
        queue.messages.pop_front();
      }
    }
    for (size_t i = 0; i < taken; ++i) {
      if (batch[i]->IsRelayed()) {
        // Second leg of a relay: behind the function modules' data.
        batch[i]->SetRelayed(false);
        Append(QWTools::kSendDataEvent - 1, batch[i]);
        SignalEvent(QWTools::kSendDataEvent);
        batch[i] = MessageRef();
        continue;
      }
      batch[i]->SetMessageClass(queue.messageClass);
      if (queue.fromFunctionModules) {
        DeliverReply(batch[i], slot);
      } else {
        DeliverEntrance(batch[i], slot);
      }
      batch[i] = MessageRef();  // the last holder frees it now, not after the batch
    }
    // A short batch emptied the queue; later messages come with a new flag.
    if (taken < kDrainBatch) return;
  }
}

// Delivery protection. Every path hands a message to a module through
// DeliverTo, which finds the module under its map's lock and names it in the
// delivering thread's `callee` before that lock is let go, and clears the
// name once OnMessage has returned. A removal erases the module from its map
// under the same lock and then waits (or, for a module to be destroyed, the
// sweep waits) until no thread's `callee` names it. After the erase no new
// delivery can find the module, and each one that found it earlier is named,
// so once no thread names it nothing is inside it. No lock is held during
// OnMessage.
void CCmdDealMdl::DeliverTo(bool functionModule, const CSecureString& name,
                            const MessageRef& message, EventSlot& slot) {
  QWTools::CReadWriteMutex& lock = functionModule ? funLock_ : commLock_;
  ModuleMap& map = functionModule ? funModules_ : commModules_;
  IModule* module = nullptr;
  {
    QWTools::CReadWriteMutexLock guard(&lock);
    auto it = map.find(name);
    if (it == map.end()) return;
    module = it->second;
    slot.callee.store(module, std::memory_order_release);
  }
  module->OnMessage(message);
  slot.callee.store(nullptr, std::memory_order_release);
}

void CCmdDealMdl::DeliverEntrance(const MessageRef& message, EventSlot& slot) {
  const CModuleConfig* config = config_.load(std::memory_order_acquire);
  const SharedNames* route = config != nullptr ? config->EntranceRoute(*message) : nullptr;
  if (route == nullptr) return;  // no route: dropped
  message->SetDestinations(*route);
  // The route belongs to the configuration, not to the message, so a
  // destination that passes the message on cannot change it under us.
  for (const CSecureString& name : **route) DeliverTo(true, name, message, slot);
}

void CCmdDealMdl::DeliverReply(const MessageRef& message, EventSlot& slot) {
  const CModuleConfig* config = config_.load(std::memory_order_acquire);
  const SharedNames* route = config != nullptr ? config->ReplyRoute(*message) : nullptr;
  if (route != nullptr) {
    message->SetDestinations(*route);
    for (const CSecureString& name : **route) DeliverTo(true, name, message, slot);
    return;  // a routed reply is not also given to its replyTo modules
  }
  const std::vector<CSecureString> replyTo = message->ReplyToList();
  for (const CSecureString& name : replyTo) DeliverTo(false, name, message, slot);
}

bool CCmdDealMdl::Thread7Running() const {
  const EventSlot& slot = slots_[QWTools::kMessageEvent - 1];
  return slot.started.load(std::memory_order_acquire) &&
         !slot.ended.load(std::memory_order_acquire) && !closed_.load();
}

bool CCmdDealMdl::OnOwnEventThread() const { return t_owner == this; }

void CCmdDealMdl::QueueOperation(int operation, IModule* module, bool destroy) {
  uint64_t id = 0;
  {
    QWTools::CReadWriteMutexLock guard(&operationsLock_);
    id = ++lastOperationId_;
    operations_.push_back(ModuleOperation{operation, module, destroy, id});
  }
  // An event thread never carries removals out itself: thread 7 (or a caller
  // standing in for it) may be waiting, as the one runner of the operations,
  // for this very thread to leave a module. What it queues is carried out by
  // thread 7 or, once the threads have ended, by the shut-down.
  if (OnOwnEventThread()) {
    SignalEvent(QWTools::kMessageEvent);
    return;
  }
  if (!Thread7Running()) {
    RunModuleOperations();  // no thread 7 to do it (none made, or shut down)
    return;
  }
  SignalEvent(QWTools::kMessageEvent);
  // The owner of a module removed without `destroy` frees it once we return;
  // it must be out of the maps and out of every delivery by then.
  if (destroy) return;
  while (operationsDone_.load(std::memory_order_acquire) < id) {
    if (!Thread7Running()) {
      RunModuleOperations();
      break;
    }
    operationsDoneSignal_.Wait(kIdleWaitMs);
  }
}

void CCmdDealMdl::RunModuleOperations() {
  std::lock_guard<std::recursive_mutex> runner(operationsRunMu_);
  for (;;) {
    ModuleOperation op;
    {
      QWTools::CReadWriteMutexLock guard(&operationsLock_);
      if (operations_.empty()) break;
      op = operations_.front();
      operations_.pop_front();
    }
    CarryOut(op);
    operationsDone_.store(op.id, std::memory_order_release);
    operationsDoneSignal_.Notify();
  }
}

void CCmdDealMdl::CarryOut(const ModuleOperation& op) {
  CRuntimeMdlInfo* info = op.module->GetRuntimeInfo();
  if (info == nullptr) return;
  const CSecureString name = info->Name();
  // Only the module asked about is removed: another module registered under
  // the same name since then stays.
  if (op.operation == kRemoveCommOperation) {
    bool found = false;
    {
      QWTools::CReadWriteMutexLock guard(&commLock_);
      auto it = commModules_.find(name);
      found = it != commModules_.end() && it->second == op.module;
      if (found) commModules_.erase(it);
    }
    if (found && op.destroy) {
      Retire(op.module);
    } else if (found || (!op.destroy && Unretire(op.module))) {
      // Handed back to its owner (also one that a later registration
      // replaced): out of every delivery before the caller frees it.
      WaitUntilNotInDelivery(op.module);
    }
  } else if (op.operation == kRemoveFunOperation) {
    {
      QWTools::CReadWriteMutexLock guard(&funLock_);
      auto it = funModules_.find(name);
      if (it == funModules_.end() || it->second != op.module) return;
      funModules_.erase(it);
    }
    WaitUntilNotInDelivery(op.module);
    if (op.destroy) op.module->Destroy();
  }
}

void CCmdDealMdl::Retire(IModule* module) {
  const uint32_t now = Now();
  if (auto* base = dynamic_cast<CMdlBase*>(module)) base->SetRemovedAt(now);
  QWTools::CReadWriteMutexLock guard(&removedLock_);
  removedModules_.push_back(RemovedModule{module, now});
}

bool CCmdDealMdl::Unretire(IModule* module) {
  QWTools::CReadWriteMutexLock guard(&removedLock_);
  for (auto it = removedModules_.begin(); it != removedModules_.end(); ++it) {
    if (it->module == module) {
      removedModules_.erase(it);
      return true;
    }
  }
  return false;
}

bool CCmdDealMdl::InDelivery(const IModule* module) const {
  for (int n = 1; n <= kEventThreadCount; ++n) {
    if (OnOwnEventThread() && n == t_thread) continue;
    if (slots_[n - 1].callee.load(std::memory_order_acquire) == module) return true;
  }
  return false;
}

void CCmdDealMdl::WaitUntilNotInDelivery(const IModule* module) const {
  while (InDelivery(module)) platform::SleepMs(1);
}

uint32_t CCmdDealMdl::SweepRemovedModules() {
  size_t count = 0;
  {
    QWTools::CReadWriteMutexLock guard(&removedLock_);
    count = removedModules_.size();
  }
  uint32_t nextMs = kNoDeadline;
  for (size_t i = 0; i < count; ++i) {
    RemovedModule removed;
    {
      QWTools::CReadWriteMutexLock guard(&removedLock_);
      if (removedModules_.empty()) break;
      removed = removedModules_.front();
      removedModules_.pop_front();
      const uint32_t age = Now() - removed.removedAt;
      if (age < kRemovalGraceMs) {
        removedModules_.push_back(removed);
        nextMs = std::min(nextMs, kRemovalGraceMs - age);
        continue;
      }
      if (InDelivery(removed.module)) {
        removedModules_.push_back(removed);
        nextMs = std::min(nextMs, kBusyRetryMs);
        continue;
      }
    }
    removed.module->Destroy();
  }
  return nextMs;
}

void CCmdDealMdl::Shutdown() {
  if (closed_.exchange(true)) return;
  SignalEvent(QWTools::kCloseEvent);
  for (;;) {
    bool all = true;
    for (const EventSlot& slot : slots_) {
      if (slot.started.load(std::memory_order_acquire) &&
          !slot.ended.load(std::memory_order_acquire)) {
        all = false;
      }
    }
    if (all) break;
    threadEndedSignal_.Wait(kShutdownPollMs);
  }

  // Removals asked for before the close are carried out first, so that a
  // module handed back to its owner is not destroyed here as well.
  RunModuleOperations();

  // Every module is destroyed once, even if it was registered twice.
  std::vector<IModule*> doomed;
  std::unordered_set<IModule*> seen;
  {
    QWTools::CReadWriteMutexLock guard(&removedLock_);
    for (const RemovedModule& removed : removedModules_) {
      if (seen.insert(removed.module).second) doomed.push_back(removed.module);
    }
    removedModules_.clear();
  }
  for (ModuleMap* map : {&commModules_, &funModules_}) {
    QWTools::CReadWriteMutex& lock = map == &commModules_ ? commLock_ : funLock_;
    QWTools::CReadWriteMutexLock guard(&lock);
    for (const auto& [name, module] : *map) {
      if (seen.insert(module).second) doomed.push_back(module);
    }
    map->clear();
  }
  for (IModule* module : doomed) module->Destroy();

  // Waiting data and NR data go now; control data goes with the module.
  for (int type : {QWTools::kReceiveDataEvent, QWTools::kSendDataEvent,
                   QWTools::kReceiveNRDataEvent, QWTools::kSendNRDataEvent}) {
    std::deque<MessageRef> dropped;
    QWTools::CReadWriteMutexLock guard(&queues_[type - 1].lock);
    dropped.swap(queues_[type - 1].messages);
    guard.Unlock();
  }
}

size_t CCmdDealMdl::QueueLength(int eventType) {
  if (eventType < 1 || eventType > kQueueCount) return 0;
  QWTools::CReadWriteMutexLock guard(&queues_[eventType - 1].lock);
  return queues_[eventType - 1].messages.size();
}

IModule* CCmdDealMdl::FindFunModule(const CSecureString& name) {
  QWTools::CReadWriteMutexLock guard(&funLock_);
  auto it = funModules_.find(name);
  return it == funModules_.end() ? nullptr : it->second;
}

IModule* CCmdDealMdl::FindCommModule(const CSecureString& name) {
  QWTools::CReadWriteMutexLock guard(&commLock_);
  auto it = commModules_.find(name);
  return it == commModules_.end() ? nullptr : it->second;
}

size_t CCmdDealMdl::RemovedModuleCount() {
  QWTools::CReadWriteMutexLock guard(&removedLock_);
  return removedModules_.size();
}

bool CCmdDealMdl::ThreadEnded(int thread) const {
  if (thread < 1 || thread > kEventThreadCount) return false;
  return slots_[thread - 1].ended.load(std::memory_order_acquire);
}

}  // namespace SvrFrame
