#include "io/io_channel.h"

#include <cerrno>
#include <climits>
#include <new>

#include "io/io_monitor.h"
#include "io/proactor_core.h"
#include "platform/debug_log.h"
#include "platform/time.h"

CIoChannel::CIoChannel(int writeThreshold) : writeThreshold_(writeThreshold) {}

// Blocks still held die with the channel (or died with the messages that
// carried them): what they cost is given back here.
CIoChannel::~CIoChannel() {
  if (budget_ != nullptr) budget_->Credit(held_);
}

bool CIoChannel::Seek(int64_t, int) { return false; }

int CIoChannel::Open(int) { return -1; }

int64_t CIoChannel::WriteOut(CIoBlock*, int* error) {
  *error = EBADF;
  return -1;
}

int64_t CIoChannel::ReadIn(CIoBlock*, int, int* error) {
  *error = EBADF;
  return -1;
}

int CIoChannel::GetError() const {
  std::lock_guard<std::mutex> lock(mu_);
  return error_;
}

bool CIoChannel::IsClosePosted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closePosted_;
}

size_t CIoChannel::HeldBytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return held_;
}

void CIoChannel::SetWriteThrottle(WriteThrottle throttle) {
  auto shared = throttle ? std::make_shared<const WriteThrottle>(std::move(throttle)) : nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  throttle_ = std::move(shared);
}

void CIoChannel::ReleaseLocked(size_t bytes) {
  held_ -= bytes;
  if (budget_ != nullptr) budget_->Credit(bytes);
}

void CIoChannel::Post(std::unique_ptr<CIoMessage> message) {
  if (message != nullptr && core_ != nullptr) core_->PostMessage(std::move(message));
}

std::unique_ptr<CIoMessage> CIoChannel::TakeTurnLocked() {
  if (writeInProgress_) return nullptr;  // the holder of the turn carries on
  writeInProgress_ = true;
  return NextMessageLocked();
}

std::unique_ptr<CIoMessage> CIoChannel::NextMessageLocked() {
  if (error_ != 0) {
    for (const auto& block : writeQueue_) ReleaseLocked(block->size());
    writeQueue_.clear();
    if (current_ != nullptr) ReleaseLocked(current_->size());
    current_.reset();
  }
  if (!writeQueue_.empty()) {
    std::unique_ptr<CIoBlock> block = std::move(writeQueue_.front());
    writeQueue_.pop_front();
    return std::make_unique<CIoMessage_Write>(weak_from_this().lock(), std::move(block));
  }
  if (IsClosing() && current_ != nullptr && current_->size() > 0) {
    return std::make_unique<CIoMessage_Write>(weak_from_this().lock(), std::move(current_));
  }
  writeInProgress_ = false;
  return CloseMessageLocked();
}

std::unique_ptr<CIoMessage> CIoChannel::CloseMessageLocked() {
  if (!IsClosing() || writeInProgress_ || readPending_ || closePosted_) return nullptr;
  closePosted_ = true;
  if (current_ != nullptr) ReleaseLocked(current_->size());
  current_.reset();
  return std::make_unique<CIoMessage_CloseChannel>(weak_from_this().lock());
}

int CIoChannel::PostNextWrite() {
  std::unique_ptr<CIoMessage> message;
  {
    std::lock_guard<std::mutex> lock(mu_);
    message = TakeTurnLocked();
  }
  Post(std::move(message));
  return 0;
}

int CIoChannel::Close() {
  std::unique_ptr<CIoMessage> message;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_.store(true, std::memory_order_release);
    message = TakeTurnLocked();
  }
  Post(std::move(message));
  return 0;
}

int CIoChannel::Write(const void* data, int length) {
  if (data == nullptr || length <= 0) return -1;
  const size_t n = static_cast<size_t>(length);
  std::unique_ptr<CIoMessage> message;
  size_t held = 0;
  bool dropped = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (error_ != 0) return -1;
    if (closePosted_) return 0;
    if (budget_ != nullptr && (held_ + n > budget_->ChannelLimit() || !budget_->TryCharge(n))) {
      // With no write of the channel out, what is gathered goes to the disk
      // now: with a bound below the write threshold the block would otherwise
      // wait for bytes it can never take. While a write is out the chain goes
      // on by itself, and handing over part-filled blocks at every drop would
      // fill memory with part-filled pieces.
      dropped = true;
      if (!writeInProgress_ && current_ != nullptr && current_->size() > 0) {
        writeQueue_.push_back(std::move(current_));
        message = TakeTurnLocked();
      }
    } else {
      const uint32_t now = platform::TickCount();
      const bool fits = [&] {
        try {
          if (current_ == nullptr) current_ = std::make_unique<CIoBlock>();
        } catch (const std::bad_alloc&) {
          return false;
        }
        if (current_->size() == 0) currentSince_ = now;
        return current_->Append(data, n);
      }();
      if (!fits) {
        if (budget_ != nullptr) budget_->Credit(n);
        return -1;
      }
      held_ += n;
      held = current_->size();
      // An aged block waits while a write is out: behind a slow disk, blocks
      // handed over part-filled would hold whole pieces for a few bytes each,
      // and memory would outgrow the byte bound many times over.
      if (held >= static_cast<size_t>(writeThreshold_) ||
          (!writeInProgress_ && platform::TicksElapsed(currentSince_, now, kMaxBlockAgeMs))) {
        writeQueue_.push_back(std::move(current_));
        message = TakeTurnLocked();
      } else if (IsClosing()) {
        message = TakeTurnLocked();
      }
    }
  }
  Post(std::move(message));
  if (dropped) return kWriteDropped;
  return held > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(held);
}

int CIoChannel::Read(void* destination, int length) {
  if (length <= 0) return -1;
  std::unique_ptr<CIoMessage> message;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closePosted_) return 0;
    if (readPending_) return 1;
    try {
      auto block = std::make_unique<CIoBlock>(destination, static_cast<size_t>(length));
      message =
          std::make_unique<CIoMessage_Read>(weak_from_this().lock(), std::move(block), length);
    } catch (const std::bad_alloc&) {
      return -1;
    }
    readPending_ = true;
  }
  Post(std::move(message));
  return 0;
}

void CIoChannel::CarryOutWrite(CIoMessage_Write* message) {
  const size_t size = message->block()->size();
  std::shared_ptr<const WriteThrottle> throttle;
  {
    std::lock_guard<std::mutex> lock(mu_);
    throttle = throttle_;
  }
  if (throttle != nullptr) (*throttle)(size);
  int error = 0;
  int64_t written = WriteOut(message->block(), &error);
  if (written <= 0 && error == 0) error = EIO;  // a write that moves nothing is a failure
  message->DestroyBlock();

  if (error == 0) {
    const int count = written > INT32_MAX ? INT32_MAX : static_cast<int>(written);
    core_->Notify(this, [&](IIoMonitor* monitor) { monitor->OnWrite(this, count); });
  } else {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (error_ == 0) error_ = error;
    }
    platform::DebugPrintf("io: write to channel %d failed: %s", id_,
                          platform::ErrorText(error).c_str());
    core_->Notify(this, [&](IIoMonitor* monitor) { monitor->OnChannelError(this, kIoErrorWrite); });
  }

  std::unique_ptr<CIoMessage> next;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ReleaseLocked(size);
    next = NextMessageLocked();
  }
  Post(std::move(next));
}

void CIoChannel::CarryOutRead(CIoMessage_Read* message) {
  int error = 0;
  int64_t got = ReadIn(message->block(), message->count(), &error);
  core_->Notify(this, [&](IIoMonitor* monitor) {
    if (got >= 0) {
      monitor->OnRead(this, message->block(), static_cast<int>(got));
    } else {
      monitor->OnChannelError(this, kIoErrorRead);
    }
  });

  std::unique_ptr<CIoMessage> close;
  {
    std::lock_guard<std::mutex> lock(mu_);
    readPending_ = false;
    close = CloseMessageLocked();
  }
  Post(std::move(close));
}
