// Requests on a lane's queue: read a block, write a block, make what was
// written durable, close a channel, run one of the volume's blocking calls.
//
// A channel makes a message and posts it; the queue owns it until a worker
// pops it, and the worker destroys it after carrying it out. A message shares
// ownership of its channel, so a stopping proactor can drop the channel from
// its table while a worker is still inside that channel's write.
#ifndef KVR_IO_IO_MESSAGE_H_
#define KVR_IO_IO_MESSAGE_H_

#include <functional>
#include <memory>
#include <utility>

#include "io/io_block.h"
#include "platform/time.h"

class CIoChannel;

class CIoMessage {
 public:
  enum Type { kRead = 1, kWrite = 2, kCloseChannel = 3, kSync = 4, kJob = 5 };

  CIoMessage(int type, std::shared_ptr<CIoChannel> channel);
  virtual ~CIoMessage() = default;
  CIoMessage(const CIoMessage&) = delete;
  CIoMessage& operator=(const CIoMessage&) = delete;

  int type() const { return type_; }
  CIoChannel* channel() const { return channel_.get(); }
  // Hands the message's reference to the channel over (the message keeps none).
  std::shared_ptr<CIoChannel> TakeChannel() { return std::move(channel_); }
  // Local time when the message was made (to the second).
  const platform::LocalTime& created() const { return created_; }

 private:
  platform::LocalTime created_;
  int type_;
  std::shared_ptr<CIoChannel> channel_;
};

// Reads up to `count` bytes of the channel's file into the block.
class CIoMessage_Read : public CIoMessage {
 public:
  CIoMessage_Read(std::shared_ptr<CIoChannel> channel, std::unique_ptr<kvr::io::CIoBlock> block,
                  int count)
      : CIoMessage(kRead, std::move(channel)), block_(std::move(block)), count_(count) {}

  kvr::io::CIoBlock* block() const { return block_.get(); }
  int count() const { return count_; }

 private:
  std::unique_ptr<kvr::io::CIoBlock> block_;
  int count_;
};

// Writes the whole block to the channel's file.
class CIoMessage_Write : public CIoMessage {
 public:
  CIoMessage_Write(std::shared_ptr<CIoChannel> channel, std::unique_ptr<kvr::io::CIoBlock> block)
      : CIoMessage(kWrite, std::move(channel)), block_(std::move(block)) {}

  kvr::io::CIoBlock* block() const { return block_.get(); }
  // Frees the bytes as soon as they are written, before the chain goes on.
  void DestroyBlock() { block_.reset(); }

 private:
  std::unique_ptr<kvr::io::CIoBlock> block_;
};

// Closes the channel's file and removes the channel from the proactor.
class CIoMessage_CloseChannel : public CIoMessage {
 public:
  explicit CIoMessage_CloseChannel(std::shared_ptr<CIoChannel> channel)
      : CIoMessage(kCloseChannel, std::move(channel)) {}

  int flag() const { return 0; }
};

namespace kvr::io {

// Makes the bytes written so far durable (fdatasync), in the channel's write turn.
class CIoMessage_Sync : public CIoMessage {
 public:
  explicit CIoMessage_Sync(std::shared_ptr<CIoChannel> channel)
      : CIoMessage(kSync, std::move(channel)) {}
};

// A blocking call of the lane's volume that is no channel's (opening a file,
// asking for the volume's space). The job is called exactly once: with true
// by the worker that carries it out, or with false when the message is
// dropped unrun (a stopping proactor drops what is queued).
class CIoMessage_Job : public CIoMessage {
 public:
  explicit CIoMessage_Job(std::function<void(bool carriedOut)> job)
      : CIoMessage(kJob, nullptr), job_(std::move(job)) {}
  ~CIoMessage_Job() override {
    if (job_) job_(false);
  }
  void CarryOut() {
    auto job = std::move(job_);
    job_ = nullptr;
    if (job) job(true);
  }

 private:
  std::function<void(bool)> job_;
};

}  // namespace kvr::io

#endif  // KVR_IO_IO_MESSAGE_H_
