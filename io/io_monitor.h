// Hooks through which the I/O runtime tells its owner what happened.
//
// The proactor calls them from its worker threads (and OnChannelRemoved also
// from Stop and the destructor), holding none of the locks its callers take,
// so a hook may call back into the proactor, but not Start or Stop it: Stop
// waits for hooks in progress, which is also why a hook must return promptly.
// Once OnChannelRemoved(id) has been called nothing more is reported about
// that channel, and after Stop nothing more at all until the next Start. The
// channel a hook is given is alive for the duration of the call only. The
// monitor object belongs to whoever installed it and must outlive the
// proactor. CDefaultMonitor ignores all.
#ifndef KVR_IO_IO_MONITOR_H_
#define KVR_IO_IO_MONITOR_H_

#include "io/channel_id.h"

class CIoChannel;

namespace kvr::io {

class CIoBlock;

// Kinds of OnChannelError.
enum IoErrorKind {
  kIoErrorReceive = 1,  // a socket receive failed or the peer closed (socket channels)
  kIoErrorWrite = 2,    // a file write failed: nothing more is written to that file
  kIoErrorRead = 3,     // a file read failed
};

}  // namespace kvr::io

class IIoMonitor {
 public:
  virtual ~IIoMonitor() = default;

  // A read of a file channel finished: `count` bytes are in `block`.
  virtual int OnRead(CIoChannel* channel, kvr::io::CIoBlock* block, int count) = 0;
  // A block of `count` bytes reached a file channel's file.
  virtual int OnWrite(CIoChannel* channel, int count) = 0;
  // Something failed on the channel; `kind` is an IoErrorKind.
  virtual int OnChannelError(CIoChannel* channel, int kind) = 0;
  // The channel's file is closed and the channel destroyed; `id` names nothing any more.
  virtual int OnChannelRemoved(ChannelId id) = 0;
  virtual int OnNotify(int first, int second) = 0;
};

class CDefaultMonitor : public IIoMonitor {
 public:
  int OnRead(CIoChannel*, kvr::io::CIoBlock*, int) override { return 0; }
  int OnWrite(CIoChannel*, int) override { return 0; }
  int OnChannelError(CIoChannel*, int) override { return 0; }
  int OnChannelRemoved(ChannelId) override { return 0; }
  int OnNotify(int, int) override { return 0; }
};

#endif  // KVR_IO_IO_MONITOR_H_
