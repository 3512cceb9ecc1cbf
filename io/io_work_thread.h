// One I/O worker of the proactor: takes messages off the proactor's queue and
// makes the blocking file calls they ask for.
//
// The proactor makes, starts, stops and destroys its workers. Stop is asked
// from the proactor's thread; the worker finishes the message in hand, leaves
// its loop, and Join waits for that. Destroying a worker joins it first.
#ifndef KVR_IO_IO_WORK_THREAD_H_
#define KVR_IO_IO_WORK_THREAD_H_

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "io/io_message.h"
#include "svrframe/thread.h"

class CProactor;

class CIoWorkThread : public QWTools::CThread {
 public:
  explicit CIoWorkThread(CProactor* proactor);
  ~CIoWorkThread() override;

  // Starts the loop at normal priority; false when no thread could be made.
  bool Begin();
  // Asks the loop to end after the message in hand.
  void RequestStop() { stop_.store(true, std::memory_order_release); }
  // Waits until the loop has ended (at once when it never started).
  void Join();

  // Carries out one message; the channel may be gone once this returns.
  static void Handle(CProactor* proactor, std::unique_ptr<CIoMessage> message);

 protected:
  int Run() override;
  // Waits up to 10 ms for a message to arrive; keeps the loop going.
  bool OnIdle() override;
  void OnExit() override;

 private:
  CProactor* const proactor_;
  std::atomic<bool> stop_{false};
  std::mutex exit_mu_;
  std::condition_variable exit_cv_;
  bool started_ = false;  // guarded by exit_mu_
  bool exited_ = false;   // guarded by exit_mu_
};

#endif  // KVR_IO_IO_WORK_THREAD_H_
