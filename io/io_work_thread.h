// One I/O worker of the proactor: takes messages off its lane's queue and
// makes the blocking file calls they ask for. With no message it sleeps until
// one comes or the lane's deadline passes, when it sweeps the lane's channels
// for part-filled blocks and data that is due on the disk.
//
// Started by the proactor's Start as one of a crew, the worker owns itself
// and a reference to the proactor's core: it deletes itself when its loop
// ends, which it does after the message in hand once its crew has ended. The
// proactor never waits for it longer than its Stop allows, so a worker stuck
// in a write on a dead volume finishes on its own time with everything it
// touches still alive. Only its own thread touches it after Begin.
#ifndef KVR_IO_IO_WORK_THREAD_H_
#define KVR_IO_IO_WORK_THREAD_H_

#include <cstdint>
#include <memory>

#include "io/io_message.h"
#include "svrframe/thread.h"

namespace kvr::io {
class CIoLane;
class CProactorCore;
}  // namespace kvr::io

class CIoWorkThread : public QWTools::CThread {
 public:
  // Starts a self-deleting worker of `crew` at normal priority; false (and
  // nothing left behind) when no thread could be made.
  static bool Launch(std::shared_ptr<kvr::io::CProactorCore> core, kvr::io::CIoLane* lane,
                     uint64_t crew);

  // Carries out one message; the channel may be gone once this returns.
  static void Handle(kvr::io::CProactorCore* core, std::unique_ptr<CIoMessage> message);

 protected:
  int Run() override;

 private:
  CIoWorkThread(std::shared_ptr<kvr::io::CProactorCore> core, kvr::io::CIoLane* lane,
                uint64_t crew);
  ~CIoWorkThread() override;

  const std::shared_ptr<kvr::io::CProactorCore> core_;
  kvr::io::CIoLane* const lane_;  // lives as long as core_
  const uint64_t crew_;
};

#endif  // KVR_IO_IO_WORK_THREAD_H_
