// One I/O worker of the proactor: takes messages off the proactor's queue and
// makes the blocking file calls they ask for.
//
// The proactor makes, starts, stops and destroys its workers. Stop is asked
// from the proactor's thread; the worker finishes the message in hand, leaves
// its loop, and Join (of the thread base) waits for that. Destroying a worker
// stops and joins it first.
#ifndef KVR_IO_IO_WORK_THREAD_H_
#define KVR_IO_IO_WORK_THREAD_H_

#include <atomic>
#include <memory>

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

  // Carries out one message; the channel may be gone once this returns.
  static void Handle(CProactor* proactor, std::unique_ptr<CIoMessage> message);

 protected:
  int Run() override;
  // Waits up to 10 ms for a message to arrive; keeps the loop going.
  bool OnIdle() override;

 private:
  CProactor* const proactor_;
  std::atomic<bool> stop_{false};
};

#endif  // KVR_IO_IO_WORK_THREAD_H_
